#pragma once

#include "actions/ServiceActionManager.h"
#include "model/LaunchItem.h"
#include "platform/HostLayout.h"
#include "plist/PropertyList.h"
#include "shell/GuiDependencies.h"
#include "table/RefreshBinding.h"

#include <QList>
#include <QScrollArea>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class QFrame;
class QGridLayout;
class QLabel;
class QToolButton;
class QWidget;

namespace daemonary {

class BackgroundItemSection;
class CodesignPopover;
class LogSection;
class PlistView;
class SignerStore;
class TriggerSection;
class ServiceActionButtons;
class Workspace;

// The inspector of one service: icon, name and category, the facts grid with
// bundle information and code-signing reports, the action buttons and the
// definition as a property-list tree.
//
// Files are read in the background whenever the record's path changes; a new
// record with the same path (a reload after an action) only refreshes the
// header and the facts. Of several loads or code-signing runs in flight, the
// one started last decides what is shown.
class ServiceDetailView : public QScrollArea {
    Q_OBJECT
    Q_PROPERTY(QString baselineNote READ baselineNote WRITE setBaselineNote)
    Q_PROPERTY(bool removedRecord READ isRemovedRecord WRITE setRemovedRecord)

public:
    using SystemDefaultPredicate = std::function<bool(const LaunchItem&)>;
    // What launchd's database of disabled services says about a record.
    using DisabledSource = std::function<std::optional<bool>(const LaunchItem&)>;

    // Facts from a bundle's Contents/Info.plist.
    struct BundleInfo {
        std::optional<std::string> version;
        std::optional<std::string> build;
        std::optional<std::string> copyright;
        std::optional<std::string> sdk;

        bool empty() const { return !version && !build && !copyright && !sdk; }
        bool operator==(const BundleInfo&) const = default;
    };

    // What the pane reads for one path.
    struct Details {
        BundleInfo bundleInfo;
        std::optional<PlistDictionary> definition;
    };

    enum class Popover { none, path, executable };

    // The icon's box: the service's icon fills it, the placeholder symbol
    // (kPlaceholderSide) sits in its middle, so nothing below moves when the
    // icon arrives.
    static constexpr int kIconSide = 125;
    static constexpr int kPlaceholderSide = 100;

    // The manager (and its workspace) must outlive every action started here.
    ServiceDetailView(const ServiceActionManager& actions, RefreshBinding refresh,
                      SystemDefaultPredicate isSystemDefault,
                      HostLayout layout = HostLayout::fromEnvironment(), QWidget* parent = nullptr);
    ~ServiceDetailView() override;

    const LaunchItem& item() const { return m_item; }
    // Where the pane reads the files of its records.
    const HostLayout& layout() const { return m_layout; }
    // Shows a record: the header and facts at once; the files when its path
    // differs from the last record's (or on the first record).
    void setItem(const LaunchItem& item);

    // How the record stands against the baseline ("New since 7 Dec 2026",
    // "Changed since ...: what changed", what the baseline had for a removed
    // one); hidden when empty.
    QString baselineNote() const;
    void setBaselineNote(const QString& note);
    // A record only the baseline still has: nothing is there to act on, so
    // no action is offered.
    bool isRemovedRecord() const { return m_removedRecord; }
    void setRemovedRecord(bool removed);
    // A record read from a Mac's disk is evidence, not a service of this
    // machine: no action, no codesign run, and its status says it was not
    // seen running.
    bool isReadFromDisk() const { return m_readFromDisk; }
    void setReadFromDisk(bool fromDisk);
    // Whether the pane offers Reveal, Start or Stop, Disable and Remove: not
    // for a record only the baseline has, nor for one of launchd's job table
    // (no file of its own), nor for any read from a disk.
    static bool offersActions(const LaunchItem& item, bool removedRecord, bool readFromDisk);
    // What the Status fact says of a record read from a disk.
    static QString diskStatusText();

    const BundleInfo& bundleInfo() const { return m_bundleInfo; }
    const std::optional<PlistDictionary>& plistData() const { return m_plistData; }
    const QString& codesignOutput() const { return m_codesignOutput; }
    Popover openPopover() const { return m_openPopover; }
    // True while the files of the current path are being read.
    bool isLoading() const { return m_loading; }

    PlistView* plistView() const { return m_plistView; }
    ServiceActionButtons* actionButtons() const { return m_actionButtons; }
    CodesignPopover* codesignPopover() const { return m_popover; }
    TriggerSection* triggerSection() const { return m_triggerSection; }
    BackgroundItemSection* backgroundItemSection() const { return m_backgroundItemSection; }
    LogSection* logSection() const { return m_logSection; }

    // None (the default): the disabled state is unknown for every record.
    void setDisabledSource(DisabledSource source);
    // Asks the source again about the record shown (its disabled state may
    // change while the record does not).
    void refreshDisabledState();
    std::optional<bool> disabledState() const { return m_disabledState; }

    // Where the Signed By fact comes from; it is asked for the signer of the
    // record's executable or bundle when it does not know it yet.
    void setSignerStore(SignerStore* signers);
    // The Signed By fact as shown, or nothing when the record has no
    // executable or bundle to check.
    std::optional<QString> signerText() const;

    // Opens a popover for the target and starts codesign for it.
    void showCodesignInfo(const std::string& target, Popover popover);

    // Makes a pane for the service table's inspector, flipping that table's
    // refresh trigger after an action. The manager must outlive the process's
    // views (its actions may finish after them).
    static GuiDependencies::InspectorFactory
    inspectorFactory(const ServiceActionManager& actions, SystemDefaultPredicate isSystemDefault,
                     HostLayout layout = HostLayout::fromEnvironment(),
                     SignerStore* signers = nullptr);
    // The same for records read from a Mac's disk: read-only panes reading
    // each record's files where `layoutOf` says, and an updater that keeps a
    // pane only for records of the same home; reveals go to `workspace`,
    // which must refuse every change (ReadOnlyWorkspace) and outlive the
    // panes.
    static GuiDependencies::Inspector diskInspector(Workspace& workspace,
                                                    GuiDependencies::LayoutOf layoutOf,
                                                    SystemDefaultPredicate isSystemDefault,
                                                    SignerStore* signers);
    // Shows the record in a pane made by inspectorFactory; false for any
    // other content.
    static bool showInInspector(QWidget& content, const LaunchItem& item);

    // Reads the pane's files for a path: the enclosing bundle's information
    // and the definition. Blocking; runs off the GUI thread.
    static Details readDetails(const std::optional<std::string>& path);
    // The Version, Build, Copyright and SDK facts of an information file.
    static BundleInfo bundleInfoFrom(const PlistValue& information);

    // The widgets Tab visits, in the order the pane shows them: top to
    // bottom, and left to right along a line. The facts and sections are
    // built again as records change, so creation order says nothing.
    // `from`, a widget of the pane Tab does not stop at (a selectable
    // label), is placed among them as where to go on from.
    QList<QWidget*> tabOrder(QWidget* from = nullptr) const;

signals:
    // The files of the current path have been read and are shown.
    void detailsLoaded();
    // A codesign run came back, whether or not its report is still wanted.
    void codesignFinished();
    // The icon lookup for the current record has ended (found or not).
    void iconLookupFinished();

protected:
    void changeEvent(QEvent* event) override;
    bool focusNextPrevChild(bool next) override;

private:
    static GuiDependencies::InspectorFactory makeFactory(const ServiceActionManager& actions,
                                                         SystemDefaultPredicate isSystemDefault,
                                                         GuiDependencies::LayoutOf layoutOf,
                                                         SignerStore* signers, bool readFromDisk);
    void loadDetails();
    void applyDetails(Details details);
    void updateIcon();
    void updateHeader();
    void rebuildFacts();
    void applyPalette();
    void updateActionsShown();
    void showPlaceholderIcon();
    void closePopover();
    QString currentSignerText() const;
    void updateSignerValue();
    QToolButton* makeInfoButton(const QString& objectName, const QString& accessibleName,
                                const std::string& target, Popover popover);

    ServiceActionManager m_actions;
    RefreshBinding m_refresh;
    SystemDefaultPredicate m_isSystemDefault;
    DisabledSource m_disabledSource;
    std::optional<bool> m_disabledState;
    HostLayout m_layout;

    LaunchItem m_item;
    bool m_hasItem = false;
    bool m_removedRecord = false;
    bool m_readFromDisk = false;
    bool m_loading = false;
    BundleInfo m_bundleInfo;
    std::optional<PlistDictionary> m_plistData;
    Popover m_openPopover = Popover::none;
    QString m_codesignOutput;
    std::uint64_t m_detailsRequest = 0;
    std::uint64_t m_iconRequest = 0;
    std::uint64_t m_codesignRequest = 0;
    std::optional<std::string> m_iconFile;
    // What the facts grid shows now. Equal facts are not built again, so a
    // reload that changed nothing keeps the user's text selection in them.
    // Anything else the grid comes to show belongs in here too (or resets it).
    struct ShownFacts {
        LaunchItem item;
        BundleInfo bundleInfo;
        std::optional<bool> disabledState;
        bool readFromDisk = false;
        bool operator==(const ShownFacts&) const = default;
    };
    std::optional<ShownFacts> m_shownFacts;

    QWidget* m_content = nullptr;
    QLabel* m_icon = nullptr;
    QLabel* m_name = nullptr;
    QLabel* m_scopeBadge = nullptr;
    QLabel* m_systemDefault = nullptr;
    QLabel* m_baselineNote = nullptr;
    QWidget* m_facts = nullptr;
    QGridLayout* m_factsLayout = nullptr;
    QFrame* m_buttonsDivider = nullptr;
    ServiceActionButtons* m_actionButtons = nullptr;
    TriggerSection* m_triggerSection = nullptr;
    BackgroundItemSection* m_backgroundItemSection = nullptr;
    LogSection* m_logSection = nullptr;
    QWidget* m_definitionSection = nullptr;
    PlistView* m_plistView = nullptr;
    CodesignPopover* m_popover = nullptr;
    SignerStore* m_signers = nullptr;
    QString m_signerTarget;
    QLabel* m_signerValue = nullptr;
};

} // namespace daemonary
