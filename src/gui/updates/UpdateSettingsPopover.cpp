#include "updates/UpdateSettingsPopover.h"

#include "shell/UserDefaults.h"
#include "style/ButtonStyle.h"
#include "style/PopoverFocus.h"
#include "style/ViewStyle.h"
#include "updates/SparkleUpdateManager.h"

#include <QEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
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

// A settings row: its text and, at the trailing end, a switch that shows
// on and off plainly (a filled track with the knob at the end, or an empty
// grey one with the knob at the start), a light highlight under the pointer
// and the focus frame. It stays a checkable button, so that assistive
// technology reads its state.
class SettingsRow : public QToolButton {
public:
    static constexpr int kSwitchWidth = 30;
    static constexpr int kSwitchHeight = 18;

    explicit SettingsRow(QWidget* parent) : QToolButton(parent) {
        setCheckable(true);
        setAutoRaise(true);
        setFocusPolicy(Qt::TabFocus);
        setAttribute(Qt::WA_Hover);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }

    QSize sizeHint() const override {
        const QFontMetrics metrics = fontMetrics();
        return {kRowPadding * 2 + metrics.horizontalAdvance(text()) + kTextSwitchSpacing +
                    kSwitchWidth,
                std::max(kSwitchHeight, metrics.height()) + kRowPadding * 2};
    }

    // Where the switch is drawn, for those who look at it.
    QRect switchRect() const {
        return {width() - kRowPadding - kSwitchWidth, (height() - kSwitchHeight) / 2, kSwitchWidth,
                kSwitchHeight};
    }

protected:
    void paintEvent(QPaintEvent* /*event*/) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        if (isDown() || underMouse()) {
            QColor wash = palette().color(QPalette::Text);
            wash.setAlphaF(isDown() ? 0.16f : 0.08f);
            painter.setPen(Qt::NoPen);
            painter.setBrush(wash);
            painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
        }
        const QRect track = switchRect();
        const QRect textRect = rect().adjusted(kRowPadding, 0, -(width() - track.left()), 0);
        painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                       QPalette::ButtonText));
        painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter,
                         fontMetrics().elidedText(text(), Qt::ElideRight, textRect.width()));
        paintSwitch(painter, track);
        if (hasFocus()) {
            painter.setPen(QPen(palette().color(QPalette::Highlight), 1));
            painter.setBrush(Qt::NoBrush);
            painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
        }
    }

private:
    void paintSwitch(QPainter& painter, const QRect& track) const {
        const qreal radius = track.height() / 2.0;
        const QColor off = ViewStyle::tertiary(palette());
        painter.setPen(isChecked() ? Qt::NoPen : QPen(off, 1));
        painter.setBrush(isChecked() ? ViewStyle::activeGreen() : Qt::transparent);
        painter.drawRoundedRect(QRectF(track).adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
        const int knobSide = track.height() - 4;
        const int knobLeft = isChecked() ? track.right() - 1 - knobSide : track.left() + 2;
        painter.setPen(Qt::NoPen);
        painter.setBrush(isChecked() ? QColor(Qt::white) : ViewStyle::secondary(palette()));
        painter.drawEllipse(QRect(knobLeft, track.top() + 2, knobSide, knobSide));
    }

    static constexpr int kRowPadding = 4;
    static constexpr int kTextSwitchSpacing = 12;
};

} // namespace

UpdateSettingsPopover::UpdateSettingsPopover(SparkleUpdateManager& updateManager,
                                             UserDefaults& defaults, const QString& shortVersion,
                                             QWidget* parent)
    : QFrame(parent), m_updateManager(updateManager), m_defaults(defaults) {
    PopoverFocus::install(*this, [this] { return m_anchor.data(); });
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
    // Its own width, centred, with at least the default margin on each side.
    check->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    // Disabled, with the reason where pointer and screen-reader users find it.
    // The reason is also written under the button, where everyone sees it.
    m_unavailableLabel = new QLabel(this);
    m_unavailableLabel->setObjectName(QStringLiteral("updateUnavailableLabel"));
    m_unavailableLabel->setTextFormat(Qt::PlainText);
    m_unavailableLabel->setWordWrap(true);
    m_unavailableLabel->setAlignment(Qt::AlignHCenter);
    m_unavailableLabel->setFont(ViewStyle::caption());
    const auto followAvailability = [this, check] {
        const QString reason = m_updateManager.checkUnavailableReason();
        check->setEnabled(m_updateManager.canCheckForUpdates());
        check->setToolTip(reason);
        check->setAccessibleDescription(reason);
        m_unavailableLabel->setText(reason);
        m_unavailableLabel->setAccessibleName(reason);
        m_unavailableLabel->setVisible(!reason.isEmpty());
        fitHeight();
    };
    connect(&m_updateManager, &SparkleUpdateManager::canCheckForUpdatesChanged, check,
            followAvailability);
    followAvailability();
    auto* checkRow = new QHBoxLayout;
    checkRow->setContentsMargins(margin, 0, margin, 0);
    checkRow->addWidget(check, 0, Qt::AlignHCenter);
    auto* checkColumn = new QVBoxLayout;
    checkColumn->setSpacing(4);
    checkColumn->addLayout(checkRow);
    checkColumn->addWidget(m_unavailableLabel);
    layout->addLayout(checkColumn);

    m_automaticChecksRow = makeToggleRow(QStringLiteral("automaticChecksButton"),
                                         tr("Automatically Check for Updates"));
    m_automaticDownloadsRow = makeToggleRow(QStringLiteral("automaticDownloadsButton"),
                                            tr("Automatically Download Updates"));
    auto* rows = new QVBoxLayout;
    rows->setSpacing(4);
    rows->addWidget(m_automaticChecksRow);
    rows->addWidget(m_automaticDownloadsRow);
    layout->addLayout(rows);
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
    fitHeight();
}

QToolButton* UpdateSettingsPopover::makeToggleRow(const QString& objectName, const QString& text) {
    auto* row = new SettingsRow(this);
    row->setObjectName(objectName);
    row->setText(text);
    row->setAccessibleName(text);
    // The checked state is always set from the stored value.
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
    m_automaticChecksRow->setChecked(automaticChecks());
    m_automaticDownloadsRow->setChecked(automaticDownloads());
}

void UpdateSettingsPopover::fitHeight() {
    // Taller only when the reason needs the room; its width never changes.
    setFixedHeight(kHeight);
    if (layout() != nullptr) {
        const int needed = layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(kWidth)
                                                         : layout()->totalSizeHint().height();
        setFixedHeight(std::max(kHeight, needed));
    }
}

void UpdateSettingsPopover::popUp(QWidget* anchor) {
    m_anchor = anchor;
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
    PopoverFocus::enter(*this);
}

void UpdateSettingsPopover::keyPressEvent(QKeyEvent* event) {
    if (!PopoverFocus::closeOnCancel(*this, event, m_anchor)) {
        QFrame::keyPressEvent(event);
    }
}

void UpdateSettingsPopover::hideEvent(QHideEvent* event) {
    QFrame::hideEvent(event);
    emit closed();
}

void UpdateSettingsPopover::changeEvent(QEvent* event) {
    QFrame::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) {
        updateRows();
        if (auto* version = findChild<QLabel*>(QStringLiteral("updateVersionLabel"))) {
            QPalette secondary = version->palette();
            secondary.setColor(QPalette::WindowText, ViewStyle::secondary(palette()));
            version->setPalette(secondary);
        }
    }
}

} // namespace daemonary
