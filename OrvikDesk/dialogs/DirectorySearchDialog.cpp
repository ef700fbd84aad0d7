#include "dialogs/DirectorySearchDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <winuser.h>

#include "DigitalCertificate.h"
#include "DirectoryTrust.h"
#include "LdapCert.h"
#include "dialogs/DialogControls.h"
#include "ui/Artwork.h"

namespace orvikdesk {

struct CDirectorySearchDialog::Outcome {
    std::vector<std::unique_ptr<CDigitalCertificate>> certificates;
    bool failed = false;
    std::string tlsFailure;  // the first host that refused a secure connection, in the user's words
};

CDirectorySearchDialog::CDirectorySearchDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QString("IDD%1").arg(IDD));
    setWindowTitle(QStringLiteral("添加证书到证书库"));
    auto* layout = new QVBoxLayout(this);
    auto* grid = new QGridLayout;
    server_ = new QComboBox(this);
    server_->setObjectName(QString::number(IDC_SERVER));
    grid->addWidget(controls::label(this, QStringLiteral("搜索范围(&R)"), server_), 0, 0);
    for (const std::string& host : CLdapCert::directoryHosts()) server_->addItem(QString::fromStdString(host));
    server_->setCurrentIndex(0);
    grid->addWidget(server_, 0, 1);
    all_ = new QCheckBox(QStringLiteral("全部搜索(&L)"), this);
    all_->setObjectName(QString::number(IDC_SEARCH_ALL));
    grid->addWidget(all_, 0, 2);
    name_ = controls::edit(this, IDC_NAME);
    grid->addWidget(controls::label(this, QStringLiteral("姓    名(&N)"), name_), 1, 0);
    grid->addWidget(name_, 1, 1);
    searchButton_ = controls::button(this, IDC_SEARCH, QStringLiteral("开始查找(&S)"));
    grid->addWidget(searchButton_, 1, 2);
    email_ = controls::edit(this, IDC_EMAIL);
    grid->addWidget(controls::label(this, QStringLiteral("电子邮件(&E)"), email_), 2, 0);
    grid->addWidget(email_, 2, 1);
    QPushButton* clear = controls::button(this, IDC_CLEAR, QStringLiteral("全部清除(&C) "));
    grid->addWidget(clear, 2, 2);
    layout->addLayout(grid);

    list_ = new QTreeWidget(this);
    list_->setObjectName(QString::number(IDC_LIST));
    list_->setRootIsDecorated(false);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setHeaderLabels({QStringLiteral("姓名"), QStringLiteral("邮件地址"), QStringLiteral("证书状态")});
    list_->header()->resizeSection(0, 160);
    list_->header()->resizeSection(1, 180);
    list_->header()->resizeSection(2, 120);
    list_->setIconSize(QSize(16, 16));
    list_->setMinimumSize(480, 180);
    list_->setAccessibleName(QStringLiteral("搜索结果"));
    layout->addWidget(list_, 1);

    auto* row = new QHBoxLayout;
    view_ = controls::button(this, IDC_VIEW, QStringLiteral("查看(&V)"));
    row->addWidget(view_);
    row->addStretch(1);
    add_ = controls::button(this, IDOK, QStringLiteral("添加(&A)"));
    QPushButton* cancel = controls::button(this, IDCANCEL, QStringLiteral("取消"));
    row->addWidget(add_);
    row->addWidget(cancel);
    layout->addLayout(row);
    setRowButtons(false);

    connect(searchButton_, &QPushButton::clicked, this, &CDirectorySearchDialog::search);
    connect(clear, &QPushButton::clicked, this, &CDirectorySearchDialog::clearAll);
    connect(view_, &QPushButton::clicked, this, &CDirectorySearchDialog::view);
    connect(add_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(list_, &QTreeWidget::itemSelectionChanged, this, &CDirectorySearchDialog::selectionChanged);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, &CDirectorySearchDialog::view);
}

CDirectorySearchDialog::~CDirectorySearchDialog() = default;

void CDirectorySearchDialog::reject() {
    worker_.abandon();
    searchButton_->setEnabled(true);
    QDialog::reject();
}

void CDirectorySearchDialog::setRowButtons(bool enabled) {
    view_->setEnabled(enabled);
    add_->setEnabled(enabled);
}

// Enter anywhere starts a search; it never closes the dialog with "添加".
void CDirectorySearchDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        searchButton_->setFocus();
        search();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CDirectorySearchDialog::search() {
    if (worker_.busy()) return;
    setRowButtons(false);
    const std::string name = name_->text().toStdString(), email = email_->text().toStdString();
    if (name.empty() && email.empty()) {
        controls::message(this, "必须输入查询条件!", MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    selected_ = -1;
    list_->clear();
    found_.clear();
    std::vector<std::string> hosts;
    if (all_->isChecked())
        hosts = CLdapCert::directoryHosts();
    else
        hosts = {server_->currentText().toStdString()};

    searchButton_->setEnabled(false);
    worker_.start(
        [this, hosts, name, email](const CDirectoryWorker::Post&, const std::atomic<bool>& stop) {
            auto outcome = std::make_shared<Outcome>();
            int failures = 0;
            CLdapCert directory;
            for (const std::string& host : hosts) {
                if (stop) break;
                std::vector<CDigitalCertificate*> out;
                if (directory.getUserCertificates(host.c_str(), name.c_str(), email.c_str(), out) != 0) ++failures;
                if (outcome->tlsFailure.empty())
                    outcome->tlsFailure = CLdapCert::TlsProblemText(directory.tlsProblem(), host);
                for (CDigitalCertificate* c : out) outcome->certificates.emplace_back(c);
            }
            outcome->failed = failures == static_cast<int>(hosts.size());
            return std::function<void()>([this, outcome] { finish(outcome); });
        },
        true);
}

void CDirectorySearchDialog::finish(std::shared_ptr<Outcome> outcome) {
    searchButton_->setEnabled(true);
    if (!outcome->tlsFailure.empty())
        controls::message(this, outcome->tlsFailure.c_str(), MB_OK | MB_ICONEXCLAMATION, "查找用户");
    if (outcome->failed) {
        if (outcome->tlsFailure.empty())
            controls::message(this, "目录查询失败!", MB_OK | MB_ICONEXCLAMATION, "查找用户");
    } else if (outcome->certificates.empty()) {
        controls::message(this, "目录服务中不存在与搜索条件相符的项!", MB_OK | MB_ICONINFORMATION, "查找用户");
    } else {
        found_ = std::move(outcome->certificates);
        QIcon icon = artwork::icon(255);
        // Whether each result checks out, so a certificate the directory vouches for alone is seen as such.
        const CDirectoryTrust trust;
        for (const auto& cert : found_) {
            std::string name, email;
            cert->getDisplayName(name);
            cert->getEmail(email);
            auto* item =
                new QTreeWidgetItem(list_, {QString::fromStdString(name), QString::fromStdString(email),
                                            QString::fromStdString(CDirectoryTrust::Text(trust.Check(*cert)))});
            item->setIcon(0, icon);
        }
    }
    emit searchFinished();
}

void CDirectorySearchDialog::selectionChanged() {
    QList<QTreeWidgetItem*> items = list_->selectedItems();
    selected_ = items.isEmpty() ? -1 : list_->indexOfTopLevelItem(items.first());
    setRowButtons(selected_ >= 0);
}

void CDirectorySearchDialog::view() {
    if (CDigitalCertificate* cert = chosen()) cert->Display();
}

// Also forgets the choice, so "添加" cannot add a row that is no longer shown.
void CDirectorySearchDialog::clearAll() {
    name_->clear();
    email_->clear();
    list_->clear();
    selected_ = -1;
    setRowButtons(false);
}

CDigitalCertificate* CDirectorySearchDialog::chosen() const {
    return selected_ >= 0 && selected_ < static_cast<int>(found_.size()) ? found_[static_cast<size_t>(selected_)].get()
                                                                         : nullptr;
}

}  // namespace orvikdesk
