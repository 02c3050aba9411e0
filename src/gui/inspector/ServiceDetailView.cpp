#include "inspector/ServiceDetailView.h"

#include "discovery/MetadataManager.h"
#include "insight/SignerChecker.h"
#include "inspector/BackgroundItemSection.h"
#include "inspector/CodesignPopover.h"
#include "inspector/LogSection.h"
#include "inspector/PlistView.h"
#include "inspector/ServiceActionButtons.h"
#include "inspector/TriggerSection.h"
#include "platform/FileSystem.h"
#include "shell/ToolRunPool.h"
#include "style/SymbolIcon.h"
#include "style/TextStyle.h"
#include "style/ViewStyle.h"
#include "table/DisplayName.h"
#include "table/ServiceTableView.h"
#include "table/ShownText.h"
#include "table/SignerStore.h"

#include <QApplication>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <memory>
#include <vector>

namespace daemonary {

namespace {

constexpr int kSectionSpacing = 16;
constexpr int kGridColumnSpacing = 12;
constexpr int kGridRowSpacing = 8;
constexpr int kInfoButtonSide = 16;

const QColor kOnDemandOrange(255, 149, 0);
const QColor kInfoBlue(0, 122, 255);

QLabel* selectableLabel(const QString& text, const QFont& font, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    return label;
}

QFrame* divider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

bool endsWith(const std::string& text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A version string that starts with a lowercase "k" is an unexpanded build
// placeholder, not a version.
std::optional<std::string> versionString(const PlistDictionary& information, const char* key) {
    const auto found = information.find(key);
    if (found == information.end()) {
        return std::nullopt;
    }
    const std::string* text = found->second.string();
    if (text == nullptr || (!text->empty() && text->front() == 'k')) {
        return std::nullopt;
    }
    return *text;
}

std::optional<std::string> plainString(const PlistDictionary& information, const char* key) {
    const auto found = information.find(key);
    if (found == information.end() || found->second.string() == nullptr) {
        return std::nullopt;
    }
    return *found->second.string();
}

QString statusText(ServiceStatus status) {
    switch (status) {
    case ServiceStatus::active:
        return ServiceDetailView::tr("Active");
    case ServiceStatus::inactive:
        return ServiceDetailView::tr("Inactive");
    case ServiceStatus::onDemand:
        return ServiceDetailView::tr("On Demand");
    case ServiceStatus::unknown:
        break;
    }
    return ServiceDetailView::tr("Unknown");
}

QColor statusColor(ServiceStatus status, const QPalette& palette) {
    switch (status) {
    case ServiceStatus::active:
        return ViewStyle::activeGreen();
    case ServiceStatus::inactive:
        return ViewStyle::secondary(palette);
    case ServiceStatus::onDemand:
        return kOnDemandOrange;
    case ServiceStatus::unknown:
        break;
    }
    return ViewStyle::inactiveGray();
}

} // namespace

ServiceDetailView::ServiceDetailView(const ServiceActionManager& actions, RefreshBinding refresh,
                                     SystemDefaultPredicate isSystemDefault, HostLayout layout,
                                     QWidget* parent)
    : QScrollArea(parent), m_actions(actions), m_refresh(std::move(refresh)),
      m_isSystemDefault(std::move(isSystemDefault)), m_layout(std::move(layout)) {
    setObjectName(QStringLiteral("serviceDetailView"));
    setAccessibleName(tr("Service details"));
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    m_content = new QWidget(this);
    m_content->setObjectName(QStringLiteral("serviceDetailContent"));
    auto* column = new QVBoxLayout(m_content);
    const int margin = ViewStyle::defaultMargin();
    column->setContentsMargins(margin, margin, margin, margin);
    column->setSpacing(kSectionSpacing);

    m_icon = new QLabel(m_content);
    m_icon->setObjectName(QStringLiteral("serviceIcon"));
    m_icon->setAccessibleName(tr("Icon"));
    m_icon->setFixedSize(kIconSide, kIconSide);
    m_icon->setAlignment(Qt::AlignCenter);
    column->addWidget(m_icon, 0, Qt::AlignLeft);

    auto* header = new QWidget(m_content);
    auto* headerColumn = new QVBoxLayout(header);
    headerColumn->setContentsMargins(0, 0, 0, 0);
    // The name and the badge keep their text as what assistive technology
    // reads; the description says what the text is.
    m_name = selectableLabel({}, TextStyle::title2(), header);
    m_name->setObjectName(QStringLiteral("serviceName"));
    m_name->setAccessibleDescription(tr("Service name"));
    m_name->setWordWrap(true);
    headerColumn->addWidget(m_name);
    auto* badges = new QHBoxLayout();
    m_scopeBadge = selectableLabel({}, TextStyle::subheadline(), header);
    m_scopeBadge->setObjectName(QStringLiteral("scopeBadge"));
    m_scopeBadge->setAccessibleDescription(tr("Category"));
    m_scopeBadge->setContentsMargins(4, 4, 4, 4);
    m_systemDefault = selectableLabel(tr("System Default"), ViewStyle::caption(), header);
    m_systemDefault->setObjectName(QStringLiteral("systemDefaultLabel"));
    badges->addWidget(m_scopeBadge, 0, Qt::AlignVCenter);
    badges->addWidget(m_systemDefault, 0, Qt::AlignVCenter);
    badges->addStretch(1);
    headerColumn->addLayout(badges);
    m_baselineNote = selectableLabel({}, ViewStyle::caption(), header);
    m_baselineNote->setObjectName(QStringLiteral("baselineNote"));
    m_baselineNote->setAccessibleName(tr("Since the baseline"));
    m_baselineNote->setWordWrap(true);
    m_baselineNote->hide();
    headerColumn->addWidget(m_baselineNote);
    column->addWidget(header);

    column->addWidget(divider(m_content));

    m_facts = new QWidget(m_content);
    m_facts->setObjectName(QStringLiteral("factsGrid"));
    m_factsLayout = new QGridLayout(m_facts);
    m_factsLayout->setContentsMargins(0, 0, 0, 0);
    m_factsLayout->setHorizontalSpacing(kGridColumnSpacing);
    m_factsLayout->setVerticalSpacing(kGridRowSpacing);
    m_factsLayout->setColumnStretch(1, 1);
    column->addWidget(m_facts);

    m_buttonsDivider = divider(m_content);
    column->addWidget(m_buttonsDivider);

    m_actionButtons = new ServiceActionButtons(m_actions, m_refresh, m_content);
    column->addWidget(m_actionButtons);

    m_backgroundItemSection = new BackgroundItemSection(m_actions, m_layout, m_content);
    column->addWidget(m_backgroundItemSection);
    m_triggerSection = new TriggerSection(m_content);
    column->addWidget(m_triggerSection);
    m_logSection = new LogSection(m_actions, m_layout, m_content);
    column->addWidget(m_logSection);

    m_definitionSection = new QWidget(m_content);
    m_definitionSection->setObjectName(QStringLiteral("definitionSection"));
    auto* definitionColumn = new QVBoxLayout(m_definitionSection);
    definitionColumn->setContentsMargins(0, 0, 0, 0);
    definitionColumn->setSpacing(kSectionSpacing);
    definitionColumn->addWidget(divider(m_definitionSection));
    auto* heading =
        selectableLabel(tr("Service Definition"), TextStyle::headline(), m_definitionSection);
    heading->setObjectName(QStringLiteral("definitionHeading"));
    definitionColumn->addWidget(heading);
    m_plistView = new PlistView(m_definitionSection);
    definitionColumn->addWidget(m_plistView);
    m_definitionSection->hide();
    column->addWidget(m_definitionSection);
    column->addStretch(1);

    setWidget(m_content);

    m_popover = new CodesignPopover(this);
    connect(m_popover, &CodesignPopover::closed, this, [this] { m_openPopover = Popover::none; });
    applyPalette();
}

void ServiceDetailView::changeEvent(QEvent* event) {
    QScrollArea::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) {
        applyPalette();
    }
}

void ServiceDetailView::applyPalette() {
    // Everything coloured from the palette is set again when it changes (a
    // switch between light and dark); the labels hold their colours as their
    // own, so they would not follow by themselves.
    const QPalette own = palette();
    QColor badgeBackground = ViewStyle::secondary(own);
    badgeBackground.setAlphaF(0.1f);
    const QString badgeSheet = QStringLiteral("QLabel#scopeBadge { background-color: %1; "
                                              "border-radius: 4px; }")
                                   .arg(badgeBackground.name(QColor::HexArgb));
    if (m_scopeBadge->styleSheet() != badgeSheet) {
        m_scopeBadge->setStyleSheet(badgeSheet);
    }
    TextStyle::setTextColor(*m_systemDefault, ViewStyle::secondary(own));
    if (m_hasItem && !m_iconFile) {
        showPlaceholderIcon();
    }
    if (m_shownFacts) {
        m_shownFacts.reset();
        rebuildFacts();
    }
}

ServiceDetailView::~ServiceDetailView() = default;

QList<QWidget*> ServiceDetailView::tabOrder(QWidget* from) const {
    struct Stop {
        QWidget* widget;
        QRect place;
    };
    std::vector<Stop> stops;
    for (QWidget* widget : m_content->findChildren<QWidget*>()) {
        const bool stop = (widget->focusPolicy() & Qt::TabFocus) == Qt::TabFocus &&
                          widget->isEnabled() && widget->focusProxy() == nullptr;
        if ((stop || widget == from) && widget->isVisibleTo(m_content)) {
            stops.push_back(
                {widget, QRect(widget->mapTo(m_content, QPoint(0, 0)), widget->size())});
        }
    }
    std::stable_sort(stops.begin(), stops.end(),
                     [](const Stop& a, const Stop& b) { return a.place.top() < b.place.top(); });
    // A line: what starts above the bottom of its first widget (a label
    // and the button beside it, centred on each other).
    QList<QWidget*> order;
    for (std::size_t first = 0; first < stops.size();) {
        std::size_t end = first + 1;
        while (end < stops.size() &&
               stops[end].place.top() <
                   stops[first].place.top() + std::max(1, stops[first].place.height() / 2)) {
            ++end;
        }
        std::stable_sort(
            stops.begin() + static_cast<std::ptrdiff_t>(first),
            stops.begin() + static_cast<std::ptrdiff_t>(end),
            [](const Stop& a, const Stop& b) { return a.place.left() < b.place.left(); });
        for (std::size_t i = first; i < end; ++i) {
            order.append(stops[i].widget);
        }
        first = end;
    }
    return order;
}

bool ServiceDetailView::focusNextPrevChild(bool next) {
    QWidget* focused = QApplication::focusWidget();
    const bool inside = focused != nullptr && m_content->isAncestorOf(focused);
    const QList<QWidget*> order = tabOrder(inside ? focused : nullptr);
    const qsizetype at = inside ? order.indexOf(focused) : -1;
    if (at >= 0) {
        const qsizetype to = next ? at + 1 : at - 1;
        if (to >= 0 && to < order.size()) {
            QWidget* target = order[to];
            target->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
            ensureWidgetVisible(target);
            return true;
        }
        // Past either end the focus leaves the pane: along the window's
        // chain to the first widget outside it.
        QWidget* candidate = focused;
        for (int guard = 0; guard < 10000; ++guard) {
            candidate = next ? candidate->nextInFocusChain() : candidate->previousInFocusChain();
            if (candidate == nullptr || candidate == focused) {
                break;
            }
            if (!isAncestorOf(candidate) && candidate != this &&
                (candidate->focusPolicy() & Qt::TabFocus) == Qt::TabFocus &&
                candidate->isEnabled() && candidate->isVisible() &&
                candidate->window() == window()) {
                candidate->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
                return true;
            }
        }
        // Nothing else in the window takes the focus: round the pane again.
        QWidget* target = next ? order.front() : order.back();
        if (target != focused) {
            target->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
            ensureWidgetVisible(target);
            return true;
        }
    }
    return QScrollArea::focusNextPrevChild(next);
}

QString ServiceDetailView::baselineNote() const {
    return m_baselineNote->text();
}

void ServiceDetailView::setBaselineNote(const QString& note) {
    m_baselineNote->setText(note);
    m_baselineNote->setVisible(!note.isEmpty());
}

void ServiceDetailView::setItem(const LaunchItem& item) {
    const bool pathChanged = !m_hasItem || item.path != m_item.path;
    const bool iconChanged = pathChanged || item.executablePath != m_item.executablePath;
    const bool backgroundChanged =
        item.allowedInBackground != m_item.allowedInBackground || item.orphaned != m_item.orphaned;
    m_item = item;
    m_hasItem = true;
    const auto target = signerTarget(item);
    m_signerTarget = target ? QString::fromStdString(*target) : QString();
    if (m_signers != nullptr && !m_signerTarget.isEmpty()) {
        m_signers->requestTarget(m_signerTarget);
    }
    m_disabledState = m_disabledSource ? m_disabledSource(item) : std::nullopt;
    m_actionButtons->setItem(item);
    m_actionButtons->setDisabledState(m_disabledState);
    updateActionsShown();
    m_backgroundItemSection->setItem(item);
    updateHeader();
    if (pathChanged) {
        loadDetails();
    } else if (backgroundChanged && !m_loading) {
        m_triggerSection->setDefinition(m_plistData, backgroundFacts(m_item));
    }
    if (iconChanged) {
        updateIcon();
    }
    rebuildFacts();
}

void ServiceDetailView::setRemovedRecord(bool removed) {
    m_removedRecord = removed;
    updateActionsShown();
}

void ServiceDetailView::setReadFromDisk(bool fromDisk) {
    if (fromDisk == m_readFromDisk) {
        return;
    }
    m_readFromDisk = fromDisk;
    if (fromDisk) {
        closePopover();
    }
    m_backgroundItemSection->setReadFromDisk(fromDisk);
    if (m_hasItem) {
        m_backgroundItemSection->setItem(m_item);
    }
    updateActionsShown();
    rebuildFacts();
}

bool ServiceDetailView::offersActions(const LaunchItem& item, bool removedRecord,
                                      bool readFromDisk) {
    // A disk's records name the Mac's paths and labels: acting on them would
    // act on this machine's services or files of the same names.
    return !readFromDisk && !removedRecord && item.scope != LaunchScope::mach;
}

QString ServiceDetailView::diskStatusText() {
    return tr("not running: read from a disk");
}

void ServiceDetailView::updateActionsShown() {
    const bool offered = offersActions(m_item, m_removedRecord, m_readFromDisk);
    m_actionButtons->setVisible(offered);
    // Not only hidden: a shortcut or an accessibility tool cannot press them.
    m_actionButtons->setEnabled(offered);
}

void ServiceDetailView::setDisabledSource(DisabledSource source) {
    m_disabledSource = std::move(source);
    if (m_hasItem) {
        refreshDisabledState();
    }
}

void ServiceDetailView::refreshDisabledState() {
    const std::optional<bool> state =
        m_disabledSource && m_hasItem ? m_disabledSource(m_item) : std::nullopt;
    if (state == m_disabledState) {
        return;
    }
    m_disabledState = state;
    m_actionButtons->setDisabledState(state);
    rebuildFacts();
}

void ServiceDetailView::loadDetails() {
    m_bundleInfo = {};
    closePopover();
    m_codesignOutput.clear();
    m_popover->setText(m_codesignOutput);
    // A report still running for the previous path is no longer wanted.
    ++m_codesignRequest;

    const std::uint64_t request = ++m_detailsRequest;
    if (!m_item.path) {
        m_loading = false;
        applyDetails({});
        return;
    }
    // The tree keeps its open places while the next definition is read; it
    // is hidden so that the previous service's definition is never shown
    // beside this one's name.
    m_loading = true;
    m_definitionSection->hide();
    m_triggerSection->clear();
    m_logSection->clear();
    ToolRunPool::run<Details>(
        this,
        [path = m_item.path ? std::optional(m_layout.onHost(*m_item.path)) : std::nullopt] {
            return readDetails(path);
        },
        [this, request](Details details) {
            if (request != m_detailsRequest) {
                return;
            }
            m_loading = false;
            applyDetails(std::move(details));
        });
}

void ServiceDetailView::applyDetails(Details details) {
    m_bundleInfo = std::move(details.bundleInfo);
    m_plistData = std::move(details.definition);
    if (m_plistData) {
        m_plistView->setValue(PlistValue(*m_plistData));
        m_definitionSection->show();
    } else {
        // A tree that stops being shown forgets its open places.
        m_plistView->clear();
        m_definitionSection->hide();
    }
    m_triggerSection->setDefinition(m_plistData, backgroundFacts(m_item));
    m_logSection->setDefinition(m_plistData, m_item.scope == LaunchScope::user);
    // Freshly read files may bring facts of any kind: built again. A reload
    // of the same path reads nothing and keeps them.
    m_shownFacts.reset();
    rebuildFacts();
    emit detailsLoaded();
}

void ServiceDetailView::setSignerStore(SignerStore* signers) {
    if (signers == m_signers) {
        return;
    }
    if (m_signers != nullptr) {
        disconnect(m_signers, nullptr, this, nullptr);
    }
    m_signers = signers;
    if (m_signers != nullptr) {
        connect(m_signers, &SignerStore::signersChanged, this, [this](const QStringList& targets) {
            if (!m_signerTarget.isEmpty() && targets.contains(m_signerTarget)) {
                updateSignerValue();
            }
        });
        if (!m_signerTarget.isEmpty()) {
            m_signers->requestTarget(m_signerTarget);
        }
    }
    rebuildFacts();
}

QString ServiceDetailView::currentSignerText() const {
    const Signer* signer = m_signers ? m_signers->signer(m_signerTarget) : nullptr;
    return signer ? shownText(signer->description()) : tr("Checking...");
}

std::optional<QString> ServiceDetailView::signerText() const {
    if (m_signerValue == nullptr) {
        return std::nullopt;
    }
    return m_signerValue->text();
}

void ServiceDetailView::updateSignerValue() {
    if (m_signerValue != nullptr) {
        m_signerValue->setText(currentSignerText());
        m_signerValue->setAccessibleName(m_signerValue->text());
    }
}

GuiDependencies::InspectorFactory
ServiceDetailView::inspectorFactory(const ServiceActionManager& actions,
                                    SystemDefaultPredicate isSystemDefault, HostLayout layout,
                                    SignerStore* signers) {
    return makeFactory(
        actions, std::move(isSystemDefault),
        [layout = std::move(layout)](const LaunchItem&) { return layout; }, signers, false);
}

GuiDependencies::InspectorFactory ServiceDetailView::makeFactory(
    const ServiceActionManager& actions, SystemDefaultPredicate isSystemDefault,
    GuiDependencies::LayoutOf layoutOf, SignerStore* signers, bool readFromDisk) {
    return [&actions, isSystemDefault = std::move(isSystemDefault), layoutOf = std::move(layoutOf),
            signers, readFromDisk](const LaunchItem& item, ServiceTableView& table) {
        RefreshBinding refresh(&table, [owner = QPointer<ServiceTableView>(&table)] {
            if (owner) {
                owner->setRefreshTrigger(!owner->refreshTrigger());
            }
        });
        auto* view =
            new ServiceDetailView(actions, std::move(refresh), isSystemDefault, layoutOf(item));
        view->setReadFromDisk(readFromDisk);
        view->setSignerStore(signers);
        view->setDisabledSource([owner = QPointer<ServiceTableView>(&table)](
                                    const LaunchItem& shown) -> std::optional<bool> {
            return owner ? owner->disabledState(shown) : std::nullopt;
        });
        QObject::connect(&table, &ServiceTableView::disabledStatesChanged, view,
                         &ServiceDetailView::refreshDisabledState);
        view->setItem(item);
        return view;
    };
}

GuiDependencies::Inspector ServiceDetailView::diskInspector(Workspace& workspace,
                                                            GuiDependencies::LayoutOf layoutOf,
                                                            SystemDefaultPredicate isSystemDefault,
                                                            SignerStore* signers) {
    // Any launchctl run it could still start goes through the disk's layout,
    // which refuses it.
    auto actions = std::make_shared<const ServiceActionManager>(workspace, layoutOf(LaunchItem()));
    auto make = makeFactory(*actions, std::move(isSystemDefault), layoutOf, signers, true);
    GuiDependencies::Inspector inspector;
    inspector.factory = [actions, make = std::move(make)](const LaunchItem& item,
                                                          ServiceTableView& table) {
        return make(item, table);
    };
    // A pane reads "~" in a definition as its layout's home: another user's
    // record gets a pane of its own.
    inspector.updater = [layoutOf = std::move(layoutOf)](QWidget& content, const LaunchItem& item) {
        const auto* view = qobject_cast<ServiceDetailView*>(&content);
        return view != nullptr &&
               view->layout().homeDirectory() == layoutOf(item).homeDirectory() &&
               showInInspector(content, item);
    };
    return inspector;
}

bool ServiceDetailView::showInInspector(QWidget& content, const LaunchItem& item) {
    auto* view = qobject_cast<ServiceDetailView*>(&content);
    if (view == nullptr) {
        return false;
    }
    view->setItem(item);
    return true;
}

ServiceDetailView::Details ServiceDetailView::readDetails(const std::optional<std::string>& path) {
    Details details;
    if (!path) {
        return details;
    }
    if (const auto root = MetadataManager::enclosingBundlePath(*path)) {
        const auto bytes = readFile(appendPathComponent(*root, "Contents/Info.plist"));
        const auto information = bytes ? parsePropertyList(*bytes) : std::nullopt;
        if (information) {
            details.bundleInfo = bundleInfoFrom(*information);
        }
    }
    // A bundle directory is not a file, so it has no definition to show.
    if (const auto bytes = readFile(*path)) {
        if (auto definition = parsePropertyList(*bytes)) {
            if (const auto* dictionary = definition->dictionary()) {
                details.definition = *dictionary;
            }
        }
    }
    return details;
}

ServiceDetailView::BundleInfo ServiceDetailView::bundleInfoFrom(const PlistValue& information) {
    BundleInfo info;
    const PlistDictionary* dictionary = information.dictionary();
    if (dictionary == nullptr) {
        return info;
    }
    info.version = versionString(*dictionary, "CFBundleShortVersionString");
    info.build = versionString(*dictionary, "CFBundleVersion");
    info.copyright = plainString(*dictionary, "NSHumanReadableCopyright");
    info.sdk = plainString(*dictionary, "DTSDKName");
    return info;
}

void ServiceDetailView::showPlaceholderIcon() {
    m_icon->setPixmap(SymbolIcon::pixmap(QStringLiteral("app.dashed"),
                                         ViewStyle::secondary(palette()), kPlaceholderSide,
                                         devicePixelRatioF()));
    m_icon->setProperty("symbol", QStringLiteral("app.dashed"));
}

void ServiceDetailView::updateIcon() {
    m_iconFile.reset();
    showPlaceholderIcon();

    // Finding the icon file tests which files exist.
    const std::uint64_t request = ++m_iconRequest;
    ToolRunPool::run<std::optional<std::string>>(
        this,
        [item = m_item, layout = m_layout] { return MetadataManager::iconFilePath(item, layout); },
        [this, request](const std::optional<std::string>& file) {
            if (request != m_iconRequest) {
                return;
            }
            const QIcon icon =
                file ? QFileIconProvider().icon(QFileInfo(QString::fromStdString(*file))) : QIcon();
            if (!icon.isNull()) {
                m_iconFile = file;
                const qreal ratio = devicePixelRatioF();
                QPixmap pixmap = icon.pixmap(QSize(kIconSide, kIconSide), ratio)
                                     .scaled(QSize(kIconSide, kIconSide) * ratio,
                                             Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
                pixmap.setDevicePixelRatio(ratio);
                m_icon->setPixmap(pixmap);
                m_icon->setProperty("symbol", QString());
            }
            emit iconLookupFinished();
        });
}

void ServiceDetailView::updateHeader() {
    m_name->setText(displayName(shownText(m_item.label)));
    m_scopeBadge->setText(QString::fromUtf8(toText(m_item.scope)));
    m_systemDefault->setVisible(m_isSystemDefault && m_isSystemDefault(m_item));
}

QToolButton* ServiceDetailView::makeInfoButton(const QString& objectName,
                                               const QString& accessibleName,
                                               const std::string& target, Popover popover) {
    auto* button = new QToolButton(m_facts);
    button->setObjectName(objectName);
    button->setAccessibleName(accessibleName);
    button->setToolTip(accessibleName);
    button->setAutoRaise(true);
    button->setCursor(Qt::PointingHandCursor);
    button->setIcon(SymbolIcon::icon(QStringLiteral("info.circle"), kInfoBlue));
    button->setIconSize(QSize(kInfoButtonSide, kInfoButtonSide));
    connect(button, &QToolButton::clicked, this,
            [this, target, popover] { showCodesignInfo(target, popover); });
    return button;
}

void ServiceDetailView::rebuildFacts() {
    // Everything the grid shows comes from the record, the bundle facts and
    // the disabled state.
    ShownFacts facts{m_item, m_bundleInfo, m_disabledState, m_readFromDisk};
    if (m_shownFacts == facts) {
        return;
    }
    m_shownFacts = std::move(facts);
    while (QLayoutItem* entry = m_factsLayout->takeAt(0)) {
        if (QLayout* nested = entry->layout()) {
            while (QLayoutItem* inner = nested->takeAt(0)) {
                delete inner->widget();
                delete inner;
            }
        }
        delete entry->widget();
        delete entry;
    }
    m_signerValue = nullptr;

    const QFont labelFont = TextStyle::withWeight(ViewStyle::body(), QFont::Medium);
    int row = 0;
    auto addLabel = [&](const QString& text, const QString& name, QWidget* button = nullptr) {
        auto* cell = new QHBoxLayout();
        cell->setContentsMargins(0, 0, 0, 0);
        auto* label = selectableLabel(text, labelFont, m_facts);
        label->setObjectName(name);
        cell->addWidget(label);
        if (button != nullptr) {
            cell->addWidget(button);
        }
        cell->addStretch(1);
        m_factsLayout->addLayout(cell, row, 0, Qt::AlignLeft | Qt::AlignTop);
    };
    // A reader announces a value by what it says, the field as its
    // description ("No: switched off...", not the field name twice).
    const auto describe = [](QLabel* value, const QString& field) {
        value->setAccessibleName(value->text());
        value->setAccessibleDescription(field);
    };
    auto addValue = [&](QWidget* value, const QString& field) {
        if (auto* label = qobject_cast<QLabel*>(value)) {
            describe(label, field);
        }
        // No horizontal alignment: a wrapped path must get the column's width,
        // or its last lines are cut off.
        m_factsLayout->addWidget(value, row, 1, Qt::AlignTop);
        ++row;
    };

    if (m_item.pid) {
        addLabel(tr("PID:"), QStringLiteral("pidLabel"));
        // launchd's job table gave this pid to no label: a process of the
        // program's name may be a copy run by hand, and is shown as a guess.
        const QString pid =
            m_item.pidIsGuess()
                ? tr("%1? (a process of this name; launchd lists no job for it)").arg(*m_item.pid)
                : QString::number(*m_item.pid);
        auto* value = selectableLabel(pid, ViewStyle::monospacedBody(), m_facts);
        value->setObjectName(QStringLiteral("pidValue"));
        value->setWordWrap(true);
        addValue(value, tr("PID"));
    }

    if (m_item.scope != LaunchScope::others) {
        addLabel(tr("Status:"), QStringLiteral("statusLabel"));
        auto* value = selectableLabel(m_readFromDisk ? diskStatusText() : statusText(m_item.status),
                                      ViewStyle::body(), m_facts);
        value->setObjectName(QStringLiteral("statusValue"));
        TextStyle::setTextColor(*value, m_readFromDisk ? ViewStyle::secondary(palette())
                                                       : statusColor(m_item.status, palette()));
        if (m_disabledState.value_or(false)) {
            // Beside the status, which keeps saying whether it runs now.
            auto* cell = new QWidget(m_facts);
            auto* line = new QHBoxLayout(cell);
            line->setContentsMargins(0, 0, 0, 0);
            value->setParent(cell);
            line->addWidget(value);
            auto* caption = selectableLabel(tr("Disabled"), ViewStyle::caption(), cell);
            caption->setObjectName(QStringLiteral("disabledCaption"));
            caption->setAccessibleName(tr("Disabled"));
            caption->setToolTip(tr("launchd does not start it until it is enabled again"));
            TextStyle::setSecondary(*caption);
            line->addWidget(caption);
            line->addStretch(1);
            describe(value, tr("Status"));
            addValue(cell, tr("Status"));
        } else {
            addValue(value, tr("Status"));
        }
    }

    {
        QToolButton* info = nullptr;
        // codesign is a tool run: never for a disk's files.
        if (!m_readFromDisk && m_item.path && endsWith(*m_item.path, ".app")) {
            info = makeInfoButton(QStringLiteral("pathInfoButton"), tr("Code signing of path"),
                                  *m_item.path, Popover::path);
        }
        addLabel(tr("Path:"), QStringLiteral("pathLabel"), info);
        const QString text = m_item.path ? shownText(*m_item.path) : QStringLiteral("N/A");
        auto* value = selectableLabel(text, ViewStyle::caption(), m_facts);
        value->setObjectName(QStringLiteral("pathValue"));
        value->setWordWrap(true);
        addValue(value, tr("Path"));
    }

    if (m_item.executablePath) {
        auto* info = m_readFromDisk ? nullptr
                                    : makeInfoButton(QStringLiteral("executableInfoButton"),
                                                     tr("Code signing of executable"),
                                                     *m_item.executablePath, Popover::executable);
        addLabel(tr("Executable:"), QStringLiteral("executableLabel"), info);
        auto* value =
            selectableLabel(shownText(*m_item.executablePath), ViewStyle::caption(), m_facts);
        value->setObjectName(QStringLiteral("executableValue"));
        value->setWordWrap(true);
        addValue(value, tr("Executable"));
    }

    // Who signed the executable (or the bundle the record is), beside it.
    if (m_signers != nullptr && !m_signerTarget.isEmpty()) {
        addLabel(tr("Signed By:"), QStringLiteral("signerLabel"));
        m_signerValue = selectableLabel(currentSignerText(), ViewStyle::caption(), m_facts);
        m_signerValue->setObjectName(QStringLiteral("signerValue"));
        m_signerValue->setWordWrap(true);
        addValue(m_signerValue, tr("Signed by"));
    }

    if (!m_bundleInfo.empty()) {
        addLabel(tr("Bundle Info:"), QStringLiteral("bundleInfoLabel"));
        auto* lines = new QWidget(m_facts);
        lines->setObjectName(QStringLiteral("bundleInfoValue"));
        auto* linesColumn = new QVBoxLayout(lines);
        linesColumn->setContentsMargins(0, 0, 0, 0);
        auto addLine = [&](const QString& text, const QString& name, const QFont& font,
                           const QString& field) {
            auto* line = selectableLabel(text, font, lines);
            line->setObjectName(name);
            line->setWordWrap(true);
            describe(line, field);
            linesColumn->addWidget(line);
            return line;
        };
        if (m_bundleInfo.version) {
            addLine(tr("Version: ") + shownText(*m_bundleInfo.version),
                    QStringLiteral("versionLine"), ViewStyle::caption(), tr("Bundle version"));
        }
        if (m_bundleInfo.build) {
            addLine(tr("Build: ") + shownText(*m_bundleInfo.build), QStringLiteral("buildLine"),
                    ViewStyle::caption(), tr("Bundle build"));
        }
        if (m_bundleInfo.sdk) {
            addLine(tr("SDK: ") + shownText(*m_bundleInfo.sdk), QStringLiteral("sdkLine"),
                    ViewStyle::caption(), tr("Bundle SDK"));
        }
        if (m_bundleInfo.copyright) {
            auto* line =
                addLine(shownText(*m_bundleInfo.copyright), QStringLiteral("copyrightLine"),
                        TextStyle::caption2(), tr("Copyright"));
            TextStyle::setSecondary(*line);
        }
        addValue(lines, tr("Bundle Info"));
    }

    if (!m_item.executablePath && m_bundleInfo.empty()) {
        addLabel(tr("Executable:"), QStringLiteral("executableLabel"));
        auto* value = selectableLabel(QStringLiteral("N/A"), ViewStyle::caption(), m_facts);
        value->setObjectName(QStringLiteral("executableValue"));
        TextStyle::setSecondary(*value);
        addValue(value, tr("Executable"));
    }
    m_factsLayout->setColumnStretch(1, 1);
}

void ServiceDetailView::closePopover() {
    m_openPopover = Popover::none;
    m_popover->hide();
}

void ServiceDetailView::showCodesignInfo(const std::string& target, Popover popover) {
    if (m_readFromDisk) {
        return;
    }
    m_openPopover = popover;
    m_codesignOutput = tr("Loading...");
    m_popover->setText(m_codesignOutput);
    QWidget* anchor = m_facts->findChild<QWidget*>(popover == Popover::path
                                                       ? QStringLiteral("pathInfoButton")
                                                       : QStringLiteral("executableInfoButton"));
    m_popover->popup(anchor != nullptr ? anchor : m_facts);
    // The popover reopening set the flag afresh: popup() may have closed it
    // first.
    m_openPopover = popover;

    // Only the run started last may fill the text: an earlier, slower run for
    // another file must not put that file's report under this button.
    const std::uint64_t request = ++m_codesignRequest;
    ToolRunPool::run<std::optional<QString>>(
        this,
        [codesign = m_layout.codesign(), target, options = m_layout.toolOptions(false, true)] {
            return CodesignPopover::runCodesign(codesign, target, options);
        },
        [this, request](const std::optional<QString>& report) {
            if (request == m_codesignRequest && report) {
                m_codesignOutput = *report;
                m_popover->setText(m_codesignOutput);
            }
            emit codesignFinished();
        });
}

} // namespace daemonary
