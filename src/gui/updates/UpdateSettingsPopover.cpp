#include "updates/UpdateSettingsPopover.h"

#include "shell/UserDefaults.h"
#include "style/ButtonStyle.h"
#include "style/SymbolIcon.h"
#include "style/ViewStyle.h"
#include "updates/SparkleUpdateManager.h"

#include <QEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

namespace daemonary {

namespace {

constexpr int kWidth = 300;
constexpr int kHeight = 200;
constexpr int kSpacing = 20;

QString toggleSymbol(bool on) {
    return on ? QStringLiteral("checkmark.circle.fill") : QStringLiteral("checkmark.circle.dotted");
}

} // namespace

UpdateSettingsPopover::UpdateSettingsPopover(SparkleUpdateManager& updateManager,
                                             UserDefaults& defaults, const QString& shortVersion,
                                             QWidget* parent)
    : QFrame(parent, Qt::Popup), m_updateManager(updateManager), m_defaults(defaults) {
    setObjectName(QStringLiteral("updateSettingsPopover"));
    setAccessibleName(tr("Update Settings"));
    setFrameShape(QFrame::StyledPanel);
    setFixedSize(kWidth, kHeight);

    auto* layout = new QVBoxLayout(this);
    const int margin = ViewStyle::defaultMargin();
    layout->setContentsMargins(margin, margin, margin, margin);
    layout->setSpacing(kSpacing);
    layout->addStretch();

    if (!shortVersion.isEmpty()) {
        auto* version = new QLabel(tr("Version %1").arg(shortVersion), this);
        version->setObjectName(QStringLiteral("updateVersionLabel"));
        version->setAccessibleName(version->text());
        version->setTextFormat(Qt::PlainText);
        QPalette secondary = version->palette();
        secondary.setColor(QPalette::WindowText, ViewStyle::secondary(secondary));
        version->setPalette(secondary);
        layout->addWidget(version, 0, Qt::AlignHCenter);
    }

    auto* check = new QPushButton(tr("Check for Update"), this);
    check->setObjectName(QStringLiteral("checkForUpdateButton"));
    check->setAccessibleName(check->text());
    glassButtonStyle(check, true);
    connect(check, &QPushButton::clicked, this, [this] { m_updateManager.checkForUpdates(); });
    // Disabled, with the reason where pointer and screen-reader users find it.
    const auto followAvailability = [this, check] {
        const QString reason = m_updateManager.checkUnavailableReason();
        check->setEnabled(m_updateManager.canCheckForUpdates());
        check->setToolTip(reason);
        check->setAccessibleDescription(reason);
    };
    connect(&m_updateManager, &SparkleUpdateManager::canCheckForUpdatesChanged, check,
            followAvailability);
    followAvailability();
    auto* checkRow = new QHBoxLayout;
    checkRow->setContentsMargins(margin, 0, margin, 0);
    checkRow->addWidget(check);
    layout->addLayout(checkRow);

    m_automaticChecksRow = makeToggleRow(QStringLiteral("automaticChecksButton"),
                                         tr("Automatically Check for Updates"));
    m_automaticDownloadsRow = makeToggleRow(QStringLiteral("automaticDownloadsButton"),
                                            tr("Automatically Download Updates"));
    layout->addWidget(m_automaticChecksRow, 0, Qt::AlignHCenter);
    layout->addWidget(m_automaticDownloadsRow, 0, Qt::AlignHCenter);
    layout->addStretch();

    // Only a press writes; the values are read back from the defaults so the
    // rows also follow changes made elsewhere (the updater, another popover).
    connect(m_automaticChecksRow, &QToolButton::clicked, this, [this] {
        m_defaults.setValue(QLatin1String(kAutomaticChecksKey), !automaticChecks());
    });
    connect(m_automaticDownloadsRow, &QToolButton::clicked, this, [this] {
        m_defaults.setValue(QLatin1String(kAutomaticDownloadsKey), !automaticDownloads());
    });
    connect(&m_defaults, &UserDefaults::valueChanged, this, [this](const QString& key) {
        if (key == QLatin1String(kAutomaticChecksKey) ||
            key == QLatin1String(kAutomaticDownloadsKey)) {
            updateRows();
        }
    });
    updateRows();
}

QToolButton* UpdateSettingsPopover::makeToggleRow(const QString& objectName, const QString& text) {
    auto* row = new QToolButton(this);
    row->setObjectName(objectName);
    row->setText(text);
    row->setAccessibleName(text);
    row->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    row->setAutoRaise(true);
    // Checkable only so that assistive technology reads the state; the
    // checked state is always set from the stored value.
    row->setCheckable(true);
    return row;
}

bool UpdateSettingsPopover::automaticChecks() const {
    return m_defaults.boolValue(QLatin1String(kAutomaticChecksKey), true);
}

bool UpdateSettingsPopover::automaticDownloads() const {
    return m_defaults.boolValue(QLatin1String(kAutomaticDownloadsKey), true);
}

void UpdateSettingsPopover::updateRows() {
    if (m_automaticChecksRow == nullptr || m_automaticDownloadsRow == nullptr) {
        return; // a palette change during construction
    }
    const QColor color = ViewStyle::primary(palette());
    const auto apply = [&color](QToolButton* row, bool on) {
        row->setChecked(on);
        row->setProperty("symbolName", toggleSymbol(on));
        row->setIcon(SymbolIcon::icon(toggleSymbol(on), color));
    };
    apply(m_automaticChecksRow, automaticChecks());
    apply(m_automaticDownloadsRow, automaticDownloads());
}

void UpdateSettingsPopover::popUp(QWidget* anchor) {
    m_anchor = anchor;
    setAttribute(Qt::WA_NoMouseReplay, false);
    if (anchor != nullptr) {
        const QPoint bottomCentre =
            anchor->mapToGlobal(QPoint(anchor->width() / 2, anchor->height()));
        QPoint topLeft(bottomCentre.x() - width() / 2, bottomCentre.y());
        if (const QScreen* screen = anchor->screen()) {
            const QRect available = screen->availableGeometry();
            topLeft.setX(std::clamp(topLeft.x(), available.left(),
                                    std::max(available.left(), available.right() - width() + 1)));
            if (topLeft.y() + height() > available.bottom() + 1) {
                topLeft.setY(anchor->mapToGlobal(QPoint(0, 0)).y() - height());
            }
        }
        move(topLeft);
    }
    show();
}

void UpdateSettingsPopover::mousePressEvent(QMouseEvent* event) {
    // A press on the anchor button closes the popover; replaying it to the
    // button would open it again at once.
    if (!rect().contains(event->position().toPoint()) && m_anchor) {
        const QPoint onAnchor = m_anchor->mapFromGlobal(event->globalPosition().toPoint());
        setAttribute(Qt::WA_NoMouseReplay, m_anchor->rect().contains(onAnchor));
    }
    QFrame::mousePressEvent(event);
}

void UpdateSettingsPopover::hideEvent(QHideEvent* event) {
    QFrame::hideEvent(event);
    emit closed();
}

void UpdateSettingsPopover::changeEvent(QEvent* event) {
    QFrame::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) {
        updateRows();
    }
}

} // namespace daemonary
