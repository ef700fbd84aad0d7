// One contact's certificates from both of the authority's directories, looked up off the window's
// thread; then the messages of an empty or failed search, or the choice among what was found.
#pragma once

#include <QObject>
#include <QString>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class CDigitalCertificate;
class QWidget;

namespace orvikdesk {

class CDirectoryLookup : public QObject {
    Q_OBJECT
public:
    using Found = std::vector<std::unique_ptr<CDigitalCertificate>>;

    explicit CDirectoryLookup(QWidget* owner);
    // A search still under way ends within the directory's time-outs.
    ~CDirectoryLookup() override;

    // Starts a search for the address; false while one is running.
    bool start(const QString& address);
    bool busy() const { return worker_.joinable(); }

    // After finished(): "目录查询失败！" or "目录服务中不存在与搜索条件相符的项！", or the import
    // dialog on what was found; before it, why a directory refused a secure connection, if one
    // did. The chosen certificate as the caller's own copy; null otherwise.
    std::unique_ptr<CDigitalCertificate> choose();
    const Found& found() const { return found_; }

signals:
    void finished();

private:
    struct Outcome;
    void complete(std::shared_ptr<Outcome> outcome);

    QWidget* owner_;
    std::thread worker_;
    QString address_;
    int result_ = 0;
    std::string tlsFailure_;
    Found found_;
};

}  // namespace orvikdesk
