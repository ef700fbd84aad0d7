// Thunderbird on the mail page: the identities of the default profile and the contacts of its
// address book; the certificates go into the profile's own database.
#pragma once

#include "Thunderbird.h"
#include "pages/MailClientView.h"

namespace orvikdesk {

class CThunderbirdView : public CMailClientView {
public:
    EmptyHint emptyHint() const override;

protected:
    // The default profile under the home folder; false without one.
    bool findProfile();
    // What a Thunderbird action ended with, told to the user; true for success.
    static bool done(QWidget* owner, int result);
    static std::string askPrimaryPassword(QWidget* owner);
    static bool confirmTrust(QWidget* owner, const std::string& authority);
    virtual QString items() const = 0;

    CThunderbird::Profile profile_;
    bool found_ = false;
};

class CTbIdentityView : public CThunderbirdView {
public:
    QString name() const override;
    QString remark() const override;
    bool hasContacts() const override { return false; }
    std::vector<Row> load() override;
    bool configure(int row, QWidget* owner) override;

private:
    QString items() const override { return QStringLiteral("设置了电子邮件地址的帐户"); }

    std::vector<CThunderbird::Identity> identities_;
};

class CTbContactView : public CThunderbirdView {
public:
    QString name() const override;
    QString remark() const override;
    bool hasContacts() const override { return true; }
    std::vector<Row> load() override;
    bool configure(int row, QWidget* owner) override;
    void batch(QWidget* owner, const std::function<void()>& reread) override;

private:
    QString items() const override { return QStringLiteral("带电子邮件地址的联系人"); }

    std::vector<CThunderbird::Contact> contacts_;
};

}  // namespace orvikdesk
