#include "inspector/BackgroundItemSection.h"

#include "platform/FileSystem.h"
#include "shell/ToolRunPool.h"
#include "style/SymbolIcon.h"
#include "style/TextStyle.h"
#include "style/ViewStyle.h"
#include "table/ShownText.h"

#include <QFileIconProvider>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QStringList>
#include <QToolButton>
#include <QVBoxLayout>
#include <utility>

namespace daemonary {

namespace {

constexpr int kIconSide = 16;

QLabel* plainLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(ViewStyle::body());
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    return label;
}

// Text from the tool or the disk is shown, never obeyed.
QString shown(const std::string& text) {
    return shownText(text);
}

} // namespace

BackgroundItemSection::BackgroundItemSection(const ServiceActionManager& actions, HostLayout layout,
                                             QWidget* parent)
    : QWidget(parent), m_actions(actions), m_layout(std::move(layout)) {
    setObjectName(QStringLiteral("backgroundItemSection"));
    setAccessibleName(tr("Background Item"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(16);

    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    column->addWidget(line);

    auto* heading = plainLabel(tr("Background Item"), this);
    heading->setObjectName(QStringLiteral("backgroundItemHeading"));
    heading->setFont(TextStyle::headline());
    column->addWidget(heading);

    auto* facts = new QWidget(this);
    facts->setObjectName(QStringLiteral("backgroundItemFacts"));
    m_grid = new QGridLayout(facts);
    m_grid->setContentsMargins(0, 0, 0, 0);
    m_grid->setColumnStretch(1, 1);
    column->addWidget(facts);

    m_parentRow = new QWidget(this);
    m_parentRow->setObjectName(QStringLiteral("parentAppRow"));
    auto* parentLine = new QHBoxLayout(m_parentRow);
    parentLine->setContentsMargins(0, 0, 0, 0);
    m_parentIcon = new QLabel(m_parentRow);
    m_parentIcon->setObjectName(QStringLiteral("parentAppIcon"));
    m_parentIcon->setAccessibleName(tr("Parent app icon"));
    m_parentIcon->setFixedSize(kIconSide, kIconSide);
    // Like every label of the pane, reachable by the keyboard and the mouse.
    m_parentIcon->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_parentName = plainLabel({}, m_parentRow);
    m_parentName->setObjectName(QStringLiteral("parentAppName"));
    m_parentName->setAccessibleDescription(tr("Parent app"));
    m_reveal = new QToolButton(m_parentRow);
    m_reveal->setObjectName(QStringLiteral("revealParentAppButton"));
    m_reveal->setText(tr("Reveal"));
    m_reveal->setAccessibleName(tr("Reveal parent app"));
    connect(m_reveal, &QToolButton::clicked, this, &BackgroundItemSection::revealParentApp);
    parentLine->addWidget(m_parentIcon);
    parentLine->addWidget(m_parentName, 1);
    parentLine->addWidget(m_reveal);
    column->addWidget(m_parentRow);

    m_removeCaption = plainLabel({}, this);
    m_removeCaption->setObjectName(QStringLiteral("removeAppCaption"));
    m_removeCaption->setAccessibleName(tr("How to remove it"));
    m_removeCaption->setWordWrap(true);
    TextStyle::setSecondary(*m_removeCaption);
    column->addWidget(m_removeCaption);
    hide();
}

void BackgroundItemSection::addFact(const QString& name, const QString& value) {
    const int row = m_grid->rowCount();
    auto* title = plainLabel(name, m_grid->parentWidget());
    TextStyle::setSecondary(*title);
    auto* text = plainLabel(value, m_grid->parentWidget());
    text->setObjectName(QStringLiteral("backgroundFact"));
    text->setProperty("fact", name);
    // Read out as what it says, the field as its description.
    text->setAccessibleName(value);
    text->setAccessibleDescription(name);
    text->setWordWrap(true);
    m_grid->addWidget(title, row, 0, Qt::AlignTop);
    m_grid->addWidget(text, row, 1);
}

QString BackgroundItemSection::fact(const QString& name) const {
    for (const QLabel* label : findChildren<QLabel*>(QStringLiteral("backgroundFact"))) {
        if (label->property("fact").toString() == name) {
            return label->text();
        }
    }
    return {};
}

void BackgroundItemSection::setItem(const LaunchItem& item) {
    m_item = item;
    while (QLayoutItem* entry = m_grid->takeAt(0)) {
        delete entry->widget();
        delete entry;
    }
    const bool known = item.backgroundItem || item.parentApp || item.allowedInBackground != true;
    setVisible(known);
    if (!known) {
        return;
    }
    QString allowed;
    if (item.orphaned) {
        allowed = tr("Orphaned: its files are gone");
    } else if (!item.allowedInBackground) {
        allowed = m_readFromDisk ? tr("Unknown: read from a disk")
                                 : tr("Unknown: Background Task Management gave no answer");
    } else if (*item.allowedInBackground) {
        allowed = tr("Yes");
    } else {
        allowed = tr("No: switched off in System Settings, so launchd does not load it");
    }
    addFact(tr("Allowed"), allowed);
    if (const auto& facts = item.backgroundItem) {
        if (facts->developerName) {
            addFact(tr("Developer"), shown(*facts->developerName));
        }
        if (facts->teamIdentifier) {
            addFact(tr("Team"), shown(*facts->teamIdentifier));
        }
        if (facts->type) {
            addFact(tr("Type"), shown(*facts->type));
        }
        // What an orphan was left with is all that still says how it stood.
        if (item.orphaned) {
            QStringList words;
            for (const std::string& word : facts->dispositionWords()) {
                words.append(QString::fromStdString(word));
            }
            addFact(tr("Left As"),
                    words.isEmpty() ? tr("no disposition recorded") : words.join(u", "));
        }
    }

    m_parentRow->setVisible(item.parentApp.has_value());
    m_removeCaption->setVisible(item.parentApp.has_value());
    if (!item.parentApp) {
        return;
    }
    const QString appName = shown(std::string(lastPathComponent(*item.parentApp)));
    m_parentName->setText(shown(*item.parentApp));
    m_parentName->setAccessibleName(m_parentName->text());
    m_removeCaption->setText(
        item.orphaned
            ? tr("Its app, %1, is gone; System Settings still lists the item as it was left. "
                 "Remove it there, under General \u25B8 Login Items.")
                  .arg(appName)
            : tr("It belongs to %1: remove the app to remove it.").arg(appName));
    m_parentIcon->setPixmap(
        SymbolIcon::icon(QStringLiteral("app.dashed"), palette().color(QPalette::Text))
            .pixmap(kIconSide, kIconSide));
    // Whether the app is still there is a question for the disk.
    const std::uint64_t request = ++m_iconRequest;
    ToolRunPool::run<std::optional<std::string>>(
        this,
        [path = m_layout.onHost(*item.parentApp)]() -> std::optional<std::string> {
            return isDirectory(path) ? std::optional(path) : std::nullopt;
        },
        [this, request](const std::optional<std::string>& app) {
            if (request != m_iconRequest) {
                return;
            }
            m_reveal->setEnabled(app.has_value());
            if (app) {
                const QIcon icon =
                    QFileIconProvider().icon(QFileInfo(QString::fromStdString(*app)));
                if (!icon.isNull()) {
                    m_parentIcon->setPixmap(icon.pixmap(kIconSide, kIconSide));
                }
            }
            emit iconLookupFinished();
        });
}

void BackgroundItemSection::revealParentApp() {
    if (!m_item.parentApp) {
        return;
    }
    LaunchItem app;
    app.label = std::string(lastPathComponent(*m_item.parentApp));
    app.path = m_item.parentApp;
    m_actions.revealService(app);
}

} // namespace daemonary
