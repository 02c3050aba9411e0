#pragma once

#include <QString>
#include <QWidget>

class QLabel;

namespace daemonary {

// The standard placeholder for an empty area: a symbol, a title and an
// optional description, centred.
class ContentUnavailableView : public QWidget {
    Q_OBJECT

public:
    ContentUnavailableView(const QString& title, const QString& symbolName,
                           const QString& description = {}, QWidget* parent = nullptr);

    QString title() const;
    QString description() const;
    // Plain text: a title may quote what the user typed.
    void setTexts(const QString& title, const QString& description = {});
    const QString& symbolName() const { return m_symbolName; }

protected:
    void changeEvent(QEvent* event) override;

private:
    void applyPalette();

    QString m_symbolName;
    QLabel* m_symbol = nullptr;
    QLabel* m_title = nullptr;
    QLabel* m_description = nullptr;
};

} // namespace daemonary
