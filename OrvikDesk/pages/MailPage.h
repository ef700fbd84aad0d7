// "安全邮件配置": the mail page. Its first level lists the four functions for Outlook Express and
// Foxmail; an opened function lists its accounts or contacts, whose certificates the user sets in
// the account and contact dialogs, or fetches for a whole address book from the directories.
#pragma once

#include <memory>

#include "Foxmail.h"
#include "OEAddrBook.h"
#include "OEEmailAcc.h"
#include "Thunderbird.h"
#include "pages/Page.h"

class QStackedWidget;

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
    CReportList* functions() const { return functions_; }
    CReportList* items() const { return items_; }
    CReportList* shownList() const;

    // The second level of a function, filled.
    void open(int function);
    void back();
    // Reads the opened function's accounts or contacts again.
    void fill();
    // The certificate dialog of a second-level row, and what it chose saved to the mail client.
    void configure(int row);
    // Directory certificates for every contact of the function's book that lacks a usable one.
    void batch(int function);
    void importVCard();
    void chooseFoxmailFolder();

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
    void applyAccount(CEmailAccount& account);
    // The contact rows are read again after a save; `row` is selected again.
    void applyContact(CContact& contact, int row);
    void applyFoxAccount(CEmailAccount& account);
    void applyFoxContact(CFoxContact& contact, int row);
    void applyTbIdentity(const CThunderbird::Identity& identity);
    void applyTbContact(const CThunderbird::Contact& contact, int row);
    void batchThunderbird();
    // What a Thunderbird action ended with, told to the user; true for success.
    bool thunderbirdDone(int result);
    std::string askPrimaryPassword();
    bool confirmTrust(const std::string& authority);
    void saved(bool ok);
    bool setMode(int command);

    COEAddrBook book_;
    COEEmailAcc accounts_;
    CFoxmail foxmail_;
    CThunderbird::Profile profile_;  // the default profile; an empty folder without one
    std::vector<CThunderbird::Identity> identities_;
    std::vector<CThunderbird::Contact> tbContacts_;
    int opened_ = 0;

    QStackedWidget* levels_;
    CReportList* functions_;
    CReportList* items_;
    Menus bar_{};
    Menus context_{};
    QMenu* view_ = nullptr;
};

}  // namespace orvikdesk
