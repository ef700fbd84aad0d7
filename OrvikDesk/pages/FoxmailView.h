// Foxmail on the mail page: the accounts and the address books of its folder, which the registry
// names or the user chooses.
#pragma once

#include "Foxmail.h"
#include "pages/MailClientView.h"

namespace orvikdesk {

class CFoxmailView : public CMailClientView {
public:
    EmptyHint emptyHint() const override;
    std::vector<int> commands() const override;
    bool onCommand(int id, QWidget* owner) override;

protected:
    // The folder that the last load found, and whether it has Foxmail's account list.
    void noteFolder();
    // "帐户" or "联系人", for the empty list's text.
    virtual QString items() const = 0;

    CFoxmail foxmail_;
    std::string folder_;
    bool hasAccountList_ = false;
};

class CFoxAccountView : public CFoxmailView {
public:
    QString name() const override;
    QString remark() const override;
    bool hasContacts() const override { return false; }
    std::vector<Row> load() override;
    bool configure(int row, QWidget* owner) override;

private:
    QString items() const override { return QStringLiteral("邮件帐户"); }
};

class CFoxContactView : public CFoxmailView {
public:
    QString name() const override;
    QString remark() const override;
    bool hasContacts() const override { return true; }
    std::vector<Row> load() override;
    bool configure(int row, QWidget* owner) override;
    void batch(QWidget* owner, const std::function<void()>& reread) override;

private:
    QString items() const override { return QStringLiteral("联系人"); }
};

}  // namespace orvikdesk
