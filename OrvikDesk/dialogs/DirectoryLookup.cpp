#include "dialogs/DirectoryLookup.h"

#include <QApplication>
#include <set>
#include <string>

#include <winuser.h>

#include "DigitalCertificate.h"
#include "LdapBatch.h"
#include "dialogs/DialogControls.h"
#include "dialogs/LdapImportDialog.h"

namespace orvikdesk {

struct CDirectoryLookup::Outcome {
    int result = 0;
    Found found;
    std::string tlsFailure;  // a host that refused a secure connection, in the user's words
};

CDirectoryLookup::CDirectoryLookup(QWidget* owner) : QObject(owner), owner_(owner) {}

CDirectoryLookup::~CDirectoryLookup() {
    if (!worker_.joinable()) return;
    worker_.join();
    QApplication::restoreOverrideCursor();
}

bool CDirectoryLookup::start(const QString& address) {
    if (worker_.joinable()) return false;
    // The last search's certificates go only now: a copy was taken of the one chosen.
    found_.clear();
    address_ = address;
    QApplication::setOverrideCursor(Qt::BusyCursor);
    const std::string email = address.toStdString();
    worker_ = std::thread([this, email] {
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
        QMetaObject::invokeMethod(
            this, [this, outcome] { complete(outcome); }, Qt::QueuedConnection);
    });
    return true;
}

void CDirectoryLookup::complete(std::shared_ptr<Outcome> outcome) {
    if (worker_.joinable()) worker_.join();
    QApplication::restoreOverrideCursor();
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
