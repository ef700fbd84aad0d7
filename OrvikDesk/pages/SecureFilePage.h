// "文件加密": the secure-file page, three entries that start the encrypt and decrypt workflows and
// the setting of the default encryption certificate, in the four views of the other pages.
#pragma once

#include <functional>
#include <string>

#include "pages/Page.h"

class QAbstractItemView;
class QListView;
class QStackedWidget;
class QStandardItemModel;
class QTreeView;

namespace orvikdesk {

class CSecureFilePage : public CPage {
    Q_OBJECT
public:
    enum { IDD = 146, IDC_LIST = 1004 };
    enum Entry { EncryptEntry, DecryptEntry, DefaultCertEntry };

    explicit CSecureFilePage(QWidget* parent = nullptr);

    QMenu* operateMenu() override { return operate_; }
    QMenu* viewMenu() override { return view_; }
    bool onCommand(int id) override;

    // What "配置" opens: the settings on their default-certificate page. Set by the program.
    static void setConfigure(std::function<void(QWidget* owner)> configure);

    QAbstractItemView* currentView() const;
    // The view command shown: cmd::LargeIcons, SmallIcons, List or Details. Kept between runs.
    int mode() const { return mode_; }
    QStandardItemModel* model() const { return model_; }
    // Runs an entry as a double click on it does.
    void activateEntry(int entry);
    // The context menu for a point of the shown view.
    QMenu* contextMenuAt(const QPoint& viewportPos);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setMode(int command);
    void applyMode(int command);

    QStandardItemModel* model_;
    QStackedWidget* stack_;
    QListView* icons_;
    QTreeView* details_;
    QMenu* operate_;
    QMenu* view_;
    QMenu* entryMenus_[3];
    QMenu* noEntry_;
    int mode_ = 0;
};

}  // namespace orvikdesk
