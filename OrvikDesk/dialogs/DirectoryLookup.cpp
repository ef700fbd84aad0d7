#include "dialogs/DirectoryLookup.h"

#include <QApplication>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include <winuser.h>

#include "DigitalCertificate.h"
#include "LdapBatch.h"
#include "dialogs/DialogControls.h"
#include "dialogs/LdapImportDialog.h"

namespace orvikdesk {

BusyCursor::BusyCursor() { QApplication::setOverrideCursor(Qt::BusyCursor); }

BusyCursor::~BusyCursor() { QApplication::restoreOverrideCursor(); }

// Shared by the window and one search thread. The receiver is cleared under the lock, and steps
// are queued under it: once abandon() returns, nothing more is queued, and what was queued
// before is dropped by the check on the window's thread (or by Qt, with the receiver).
struct CDirectoryWorker::Link {
    std::mutex lock;
    QObject* receiver;
    std::atomic<bool> stop{false};

    explicit Link(QObject* r) : receiver(r) {}
    bool live() {
        std::lock_guard guard(lock);
        return receiver != nullptr;
    }
};

CDirectoryWorker::CDirectoryWorker(QObject* receiver) : receiver_(receiver) {}

CDirectoryWorker::~CDirectoryWorker() { abandon(); }

bool CDirectoryWorker::start(Work work, bool busyCursor) {
    if (link_) return false;
    auto link = std::make_shared<Link>(receiver_);
    link_ = link;
    if (busyCursor) cursor_.emplace();
    std::thread([this, link, work = std::move(work)] {
        const Post post = [link](std::function<void()> step) {
            std::lock_guard guard(link->lock);
            if (!link->receiver) return false;
            QMetaObject::invokeMethod(
                link->receiver,
                [link, step = std::move(step)] {
                    if (link->live()) step();
                },
                Qt::QueuedConnection);
            return true;
        };
        std::function<void()> last = work(post, link->stop);
        // `this` is reached only while the link is live, that is while the receiver that owns
        // this worker is there and has not given the search up.
        post([this, last = std::move(last)] {
            link_.reset();
            cursor_.reset();
            if (last) last();
        });
    }).detach();
    return true;
}

void CDirectoryWorker::abandon() {
    if (!link_) return;
    {
        std::lock_guard guard(link_->lock);
        link_->receiver = nullptr;
    }
    link_->stop = true;
    link_.reset();
    cursor_.reset();
}

struct CDirectoryLookup::Outcome {
    int result = 0;
    Found found;
    std::string tlsFailure;  // a host that refused a secure connection, in the user's words
};

CDirectoryLookup::CDirectoryLookup(QWidget* owner) : QObject(owner), owner_(owner), worker_(this) {}

CDirectoryLookup::~CDirectoryLookup() = default;

bool CDirectoryLookup::start(const QString& address) {
    if (worker_.busy()) return false;
    // The last search's certificates go only now: a copy was taken of the one chosen.
    found_.clear();
    address_ = address;
    const std::string email = address.toStdString();
    return worker_.start(
        [this, email](const CDirectoryWorker::Post&, const std::atomic<bool>&) -> std::function<void()> {
            auto outcome = std::make_shared<Outcome>();
            CLdapBatch directories;
            Found all;
            outcome->result = directories.FindForAddress(email, all);
            outcome->tlsFailure = directories.tlsFailureText();
            // Both directories may hold the same certificate: it is offered once.
            std::set<std::string> seen;
            for (auto& c : all) {
                std::string thumb;
                c->getThumbPrint(thumb);
                if (seen.insert(thumb).second) outcome->found.push_back(std::move(c));
            }
            return [this, outcome] { complete(outcome); };
        },
        true);
}

void CDirectoryLookup::complete(std::shared_ptr<Outcome> outcome) {
    result_ = outcome->result;
    tlsFailure_ = std::move(outcome->tlsFailure);
    found_ = std::move(outcome->found);
    emit finished();
}

std::unique_ptr<CDigitalCertificate> CDirectoryLookup::choose() {
    // A directory that failed its certificate check is named even when the other one answered.
    if (!tlsFailure_.empty()) controls::message(owner_, tlsFailure_.c_str(), MB_OK | MB_ICONWARNING, "查找用户");
    if (result_ != 0) {
        if (tlsFailure_.empty()) controls::message(owner_, "目录查询失败！", MB_OK | MB_ICONWARNING, "查找用户");
        return nullptr;
    }
    if (found_.empty()) {
        controls::message(owner_, "目录服务中不存在与搜索条件相符的项！", MB_OK | MB_ICONINFORMATION, "查找用户");
        return nullptr;
    }
    CDlgLdapImport dialog(found_, address_, owner_);
    if (dialog.exec() != QDialog::Accepted) return nullptr;
    return controls::copyOf(dialog.chosen());
}

}  // namespace orvikdesk
