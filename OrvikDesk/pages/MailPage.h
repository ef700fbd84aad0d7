// "安全邮件配置": the mail page. Its first level lists the functions, an account list and a contact
// list for each mail client; an opened function lists its accounts or contacts, whose certificates
// the user sets in the account and contact dialogs, or fetches for a whole address book from the
// directories. Each list is a mail client's view; the page only shows it.
#pragma once

#include <memory>
#include <vector>

#include "pages/MailClientView.h"
#include "pages/Page.h"

class QLabel;
class QPushButton;
class QStackedWidget;
class QToolButton;

namespace orvikdesk {

class CReportList;

class CMailPage : public CPage {
    Q_OBJECT
public:
    enum { IDD = 145, IDC_FUNCTIONS = 1033, IDC_ITEMS = 1110 };
    enum Function { OEAccounts = 0, OEContacts = 1, FoxAccounts = 2, FoxContacts = 3, TbAccounts = 4, TbContacts = 5 };
    enum { FunctionCount = 6 };

    explicit CMailPage(QWidget* parent = nullptr);
    ~CMailPage() override;

    // Shown again: back to the first level.
    void activate() override { back(); }
    QMenu* operateMenu() override;
    QMenu* viewMenu() override { return view_; }
    bool onCommand(int id) override;

    bool atFirstLevel() const;
    // The function whose list is shown; -1 at the first level.
    int opened() const { return atFirstLevel() ? -1 : opened_; }
    CMailClientView* view(int function) const;
    CReportList* functions() const { return functions_; }
    CReportList* items() const { return items_; }
    CReportList* shownList() const;
    // The name of the list shown, above it, and the way back to the functions.
    QLabel* caption() const { return caption_; }
    QToolButton* backButton() const { return back_; }
    // What an empty list of accounts or contacts needs, shown instead of it.
    QWidget* emptyPanel() const { return empty_; }
    QLabel* emptyText() const { return emptyText_; }
    QPushButton* emptyAction() const { return emptyAction_; }

    // The second level of a function, filled.
    void open(int function);
    void back();
    // Reads the opened function's accounts or contacts again.
    void fill();
    // The certificate dialog of a second-level row, and what it chose saved to the mail client.
    void configure(int row);
    // Directory certificates for every contact of the function's book that lacks a usable one.
    void batch(int function);

    // The context menu of the shown list, on a row or outside the rows.
    QMenu* contextMenu(bool onRow) const;

private:
    // The menus for one state: on a row or not, at the first level or of a function.
    struct Menus {
        QMenu* firstRow;
        QMenu* firstNoRow;
        QMenu* row;
        QMenu* noRow[FunctionCount];
    };
    Menus makeMenus(bool forBar);
    void showContextMenu(int row, const QPoint& globalPos);
    bool setMode(int command);
    void showLevel();

    std::vector<std::unique_ptr<CMailClientView>> views_;
    int opened_ = 0;
    int emptyCommand_ = 0;

    QToolButton* back_;
    QLabel* caption_;
    QStackedWidget* levels_;
    CReportList* functions_;
    QStackedWidget* second_;
    CReportList* items_;
    QWidget* empty_;
    QLabel* emptyText_;
    QPushButton* emptyAction_;
    Menus bar_{};
    Menus context_{};
    QMenu* view_ = nullptr;
};

}  // namespace orvikdesk
