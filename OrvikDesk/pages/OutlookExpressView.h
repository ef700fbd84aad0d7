// Outlook Express on the mail page: its accounts, kept in the registry as on Windows, and the
// contacts of the address book. Both come over from Windows as files: the accounts' registry key
// as a .reg file, the contacts as vCard files.
#pragma once

#include "OEAddrBook.h"
#include "OEEmailAcc.h"
#include "pages/MailClientView.h"

namespace orvikdesk {

class COEAccountView : public CMailClientView {
public:
    QString name() const override;
    QString remark() const override;
    bool hasContacts() const override { return false; }
    std::vector<Row> load() override;
    bool configure(int row, QWidget* owner) override;
    EmptyHint emptyHint() const override;
    std::vector<int> commands() const override;
    bool onCommand(int id, QWidget* owner) override;

private:
    void importRegFile(QWidget* owner);

    COEEmailAcc accounts_;
};

class COEContactView : public CMailClientView {
public:
    QString name() const override;
    QString remark() const override;
    bool hasContacts() const override { return true; }
    std::vector<Row> load() override;
    bool configure(int row, QWidget* owner) override;
    void batch(QWidget* owner, const std::function<void()>& reread) override;
    EmptyHint emptyHint() const override;
    std::vector<int> commands() const override;
    bool onCommand(int id, QWidget* owner) override;

private:
    void importVCard(QWidget* owner);

    COEAddrBook book_;
};

}  // namespace orvikdesk
