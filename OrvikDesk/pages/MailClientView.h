// One list of the mail page's second level: the accounts or the contacts of one mail client. The
// page shows the rows, the caption and the menus; what the rows are, how a certificate is set on
// one of them, the batch over a book and what an empty list needs belong to the client's view.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

#include "LdapBatch.h"

class QWidget;

namespace orvikdesk {

class CMailClientView {
public:
    // Pictures of the rows, from the page's list images.
    enum Image { NoCertificate = 0, WithCertificate = 1, Account = 2, Book = 3 };
    struct Row {
        QString name;
        QString email;
        Image image;
    };
    // What an empty list tells the user, and the command that helps with it (0: none) with the
    // text of its button.
    struct EmptyHint {
        QString text;
        int command = 0;
        QString action;
    };

    virtual ~CMailClientView() = default;

    // The function's texts in the first-level list.
    virtual QString name() const = 0;
    virtual QString remark() const = 0;
    // Contacts rather than accounts: other columns, and a batch configuration.
    virtual bool hasContacts() const = 0;
    QStringList columns() const;

    // The items, read again from the mail client; the rows of the last load are the ones that
    // configure() and the commands act on.
    virtual std::vector<Row> load() = 0;
    // The certificate dialog of a row of the last load, and what it chose saved to the mail
    // client. True when the rows must be read again to show the change.
    virtual bool configure(int row, QWidget* owner) = 0;
    // Directory certificates for every contact of the book that lacks a usable one. `reread` is
    // called before the closing message whenever the client's data were read again.
    virtual void batch(QWidget* owner, const std::function<void()>& reread);
    virtual EmptyHint emptyHint() const = 0;

    // Menu commands that belong to this list only (besides the batch of the contact lists).
    virtual std::vector<int> commands() const { return {}; }
    // One of those commands; true when the rows must be read again.
    virtual bool onCommand(int id, QWidget* owner);

    // The six views in the order of the first-level list.
    static std::vector<std::unique_ptr<CMailClientView>> all();

protected:
    // The settings are the user's protection: a save that did not happen is said.
    static void saved(QWidget* owner, bool ok);
    static void summary(QWidget* owner, int count);
    static void noCandidates(QWidget* owner);
    // The batch of an address book once its candidates are found: the dialog, the directory for
    // each chosen contact, then what came of it. The candidates point into the book, so `reread`
    // (the rows following the book read again) runs only once they are done with.
    static void runBookBatch(QWidget* owner, CLdapBatch::Kind kind, std::vector<CLdapBatch::Candidate>& candidates,
                             COEAddrBook* book, CFoxmail* foxmail, const std::function<void()>& reread);
};

}  // namespace orvikdesk
