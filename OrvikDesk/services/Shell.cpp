#include "services/Shell.h"

#include <QUrl>

#include <windows.h>

#include "ui/MessageBoxFacade.h"

namespace orvikdesk::shell {

bool openDocument(const std::string& path, QWidget* owner) {
    auto code =
        reinterpret_cast<INT_PTR>(ShellExecuteA(nullptr, "open", path.c_str(), nullptr, nullptr, SW_SHOWNOACTIVATE));
    if (code > 32) return true;
    MessageBoxFacade::show(owner, "未找到合适的应用程序打开该文件", "证书助手", MB_OK | MB_ICONINFORMATION);
    return false;
}

bool openAddress(const std::string& url, int* code) {
    QString scheme = QUrl(QString::fromStdString(url)).scheme().toLower();
    if (scheme != "http" && scheme != "https" && scheme != "mailto") {
        if (code) *code = SE_ERR_NOASSOC;
        return false;
    }
    auto rc = reinterpret_cast<INT_PTR>(ShellExecuteA(nullptr, "open", url.c_str(), nullptr, nullptr, SW_SHOW));
    if (code) *code = static_cast<int>(rc);
    return rc > 32;
}

}  // namespace orvikdesk::shell
