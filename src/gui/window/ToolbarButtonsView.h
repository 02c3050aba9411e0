#pragma once

#include <QString>
#include <QWidget>

class QHBoxLayout;
class QLabel;
class QLineEdit;
class QToolButton;

namespace daemonary {

// The toolbar's content: the search field and, at the trailing end, room for
// further buttons (the update settings).
class ToolbarButtonsView : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString searchText READ searchText WRITE setSearchText NOTIFY searchTextChanged)

public:
    static constexpr int kSearchFieldWidth = 200;

    explicit ToolbarButtonsView(QWidget* parent = nullptr);

    QString searchText() const;
    void setSearchText(const QString& text);

    QLineEdit* searchLineEdit() const { return m_lineEdit; }
    QToolButton* clearButton() const { return m_clearButton; }

    // Adds a widget after the flexible space, at the trailing end.
    void addTrailingWidget(QWidget* widget);

signals:
    void searchTextChanged(const QString& text);
    // Escape in an empty search field: the focus should go back to the content.
    void searchFieldLeft();

protected:
    void changeEvent(QEvent* event) override;
    // Escape clears the field; in an empty field it leaves it.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void applyPalette();

    QLabel* m_searchIcon = nullptr;
    QLineEdit* m_lineEdit = nullptr;
    QToolButton* m_clearButton = nullptr;
    QHBoxLayout* m_trailing = nullptr;
};

} // namespace daemonary
