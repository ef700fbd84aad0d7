// What the three certificate pages share: the list of a store in four view modes over one model,
// the search box, the selection kept by thumbprint, the context and merged menus, the commands
// that act on the selected certificate, and the revocation column filled off the window's thread.
#pragma once

#include <QList>
#include <QString>
#include <memory>

#include "pages/CertListModel.h"
#include "pages/Page.h"

class CCertStore;
class CDigitalCertificate;
class QAbstractItemView;
class QLineEdit;
class QMimeData;
class QListView;
class QSortFilterProxyModel;
class QStackedWidget;
class QTreeView;

namespace orvikdesk {

class CRevocationChecker;

class CCertStorePage : public CPage {
    Q_OBJECT
public:
    enum { IDC_LIST = 1004 };
    enum class View { LargeIcons, SmallIcons, List, Details };

    ~CCertStorePage() override;

    void activate() override { refresh(); }
    QMenu* operateMenu() override;
    QMenu* viewMenu() override;
    bool onCommand(int id) override;

    // Loads the store again: the rows, the status column, no selection.
    void refresh();

    CCertListModel* model() const { return model_; }
    QSortFilterProxyModel* proxy() const { return proxy_; }
    QLineEdit* searchBox() const { return search_; }
    QAbstractItemView* currentView() const;
    QTreeView* detailsView() const { return details_; }
    View view() const { return view_; }
    // Shows the list in that mode; a change is kept for the next start.
    void setView(View view);

    // The thumbprint of the selected certificate; empty when none is.
    QString selectedThumbprint() const { return selected_; }
    // Selects the row of the store's index (-1: none), as a click on it does.
    void selectStoreRow(int index);
    // The context menu of a right-click at a point of the shown view (it selects what it hits).
    QMenu* contextMenuAt(const QPoint& viewportPos);
    QMenu* contextMenu(bool onItem);
    CRevocationChecker* revocation() const { return checker_; }
    // A file dropped on the page: one the page imports opens its import dialog, filled in.
    bool acceptsFile(const QString& path) const;
    bool offerFile(const QString& path);

signals:
    // A refresh's revocation column is complete.
    void statusesDone();

protected:
    enum class StatusCheck { None, CacheOnly, Online };
    struct MenuIds {
        int item, noItem;
    };
    // `listName`: what the list is called to a screen reader ("个人证书列表").
    CCertStorePage(int idd, std::unique_ptr<CCertStore> store, CCertListModel::Fifth fifth, MenuIds menus,
                   const QString& listName, QWidget* parent);

    CCertStore& store() { return *store_; }
    // The selected certificate, looked up in the store now; null when none is selected.
    CDigitalCertificate* selectedCertificate();
    int selectedStoreIndex();
    static bool onlineChecks();

    // The page's import, with a file already chosen (a drop) or none.
    virtual void importFile(const QString& path) = 0;
    virtual void exportCertificate() = 0;
    virtual StatusCheck statusCheck() const = 0;
    // Lower-case suffixes of the files a drop may bring.
    virtual QStringList droppedSuffixes() const = 0;

    // For the other people's and the authorities' pages.
    void exportDer(const char* success, const char* failure);

    // A command of the page's own on a selected certificate, in its context and merged menus
    // before the help entry.
    QAction* addItemCommand(const QString& text, int id);
    // The context and merged menus of a selected certificate.
    QList<QMenu*> itemMenus() const { return {contextItem_, operateItem_}; }
    // Called after each load of the list, before the menus are rebuilt.
    virtual void loaded() {}
    // The item menus are about to show for the selected certificate (enable what applies).
    virtual void prepareItemMenus() {}
    // Whether the selected certificate may be deleted; a page that refuses says why.
    virtual bool mayDelete(CDigitalCertificate&) { return true; }
    // Widens each column of the details view to its contents, within bounds.
    void fitColumns();

    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void applyView();
    void selectionChanged();
    void filter(const QString& text);
    void showContextMenu(const QPoint& globalPos);
    void deleteSelected();
    void checkSelected();
    void editProperties();
    void copyThumbprint();
    QString droppedFile(const QMimeData* data) const;
    bool handleKey(QKeyEvent* event);

    std::unique_ptr<CCertStore> store_;
    MenuIds menuIds_;
    CCertListModel* model_;
    QSortFilterProxyModel* proxy_;
    QLineEdit* search_;
    QStackedWidget* stack_;
    QListView* icons_;
    QTreeView* details_;
    View view_ = View::LargeIcons;
    QString selected_;
    CRevocationChecker* checker_;
    CRevocationChecker* single_;
    QMenu* operateItem_ = nullptr;
    QMenu* operateNoItem_ = nullptr;
    QMenu* viewHolder_ = nullptr;
    QMenu* contextItem_ = nullptr;
    QMenu* contextNoItem_ = nullptr;
};

}  // namespace orvikdesk
