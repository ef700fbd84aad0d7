#include "dialogs/EncryptDialog.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <winuser.h>

#include "MyCertStore.h"
#include "OtherCertStore.h"
#include "SecureFile.h"
#include "app/CommandLine.h"
#include "dialogs/DialogControls.h"
#include "dialogs/SelectCertDialog.h"
#include "dialogs/SetPasswordDialog.h"
#include "services/DefaultEncCert.h"
#include "services/PathText.h"
#include "ui/Artwork.h"
#include "ui/FileDialogFacade.h"

namespace orvikdesk {

namespace {

QString text(CDigitalCertificate& c, CDigitalCertificate::Code (CDigitalCertificate::*get)(std::string&)) {
    std::string s;
    (c.*get)(s);
    return QString::fromStdString(s);
}

// A certificate a secure file has no room for is named when chosen, not after the dialog closed.
bool fitsSecureFile(QWidget* owner, CDigitalCertificate& cert) {
    const CSecureFile::Code code = CSecureFile::CheckRecipient(cert);
    if (code != CSecureFile::SessionKeyTooLarge && code != CSecureFile::ImportPublicKey) return true;
    const QString why = code == CSecureFile::SessionKeyTooLarge
                            ? QStringLiteral("证书“%1”的密钥长度超过4000位，不能用于加密文件！")
                            : QStringLiteral("证书“%1”的密钥不是RSA密钥，不能用于加密文件！");
    controls::message(owner, why.arg(text(cert, &CDigitalCertificate::getDisplayName)).toStdString().c_str(),
                      MB_OK | MB_ICONEXCLAMATION);
    return false;
}

}  // namespace

CEncryptDialog::CEncryptDialog(QWidget* parent) : QDialog(parent), others_(std::make_unique<COtherCertStore>()) {
    setObjectName(QString("IDD%1").arg(IDD));
    setWindowTitle(QStringLiteral("加密文件"));
    auto* layout = new QVBoxLayout(this);

    auto* sourceRow = new QVBoxLayout;
    auto [sourceEdit, sourceBrowse] =
        controls::fileRow(this, sourceRow, IDC_SOURCE, IDC_SOURCE_BROWSE, QStringLiteral("选择(&S)..."));
    sourceEdit_ = sourceEdit;
    layout->addWidget(controls::group(this, QStringLiteral("待加密的文件(&F)"), sourceRow));
    auto* outputRow = new QVBoxLayout;
    auto [outputEdit, outputBrowse] =
        controls::fileRow(this, outputRow, IDC_OUTPUT, IDC_OUTPUT_BROWSE, QStringLiteral("选择(&T)..."));
    outputEdit_ = outputEdit;
    layout->addWidget(controls::group(this, QStringLiteral("加密后的文件(&O)"), outputRow));

    auto* defaultRow = new QHBoxLayout;
    defaultName_ = controls::edit(this, IDC_DEFAULT);
    defaultName_->setReadOnly(true);
    viewDefault_ = controls::button(this, IDC_VIEW_DEFAULT, QStringLiteral("查看证书(&V)"));
    QPushButton* change = controls::button(this, IDC_CHANGE_DEFAULT, QStringLiteral("更改(&H)..."));
    defaultRow->addWidget(defaultName_, 1);
    defaultRow->addWidget(viewDefault_);
    defaultRow->addWidget(change);
    layout->addWidget(controls::group(this, QStringLiteral("默认加密证书(&C)"), defaultRow));

    auto* otherBox = new QVBoxLayout;
    list_ = new QTreeWidget(this);
    list_->setObjectName(QString::number(IDC_LIST));
    list_->setRootIsDecorated(false);
    list_->setAllColumnsShowFocus(true);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setHeaderLabels({QStringLiteral("颁发给"), QStringLiteral("颁发者"), QStringLiteral("截止日期"),
                            QStringLiteral("好记的名字"), QStringLiteral("证书状态")});
    const int widths[] = {160, 80, 80, 80, 80};
    for (int c = 0; c < 5; ++c) list_->header()->resizeSection(c, widths[c]);
    list_->setMinimumSize(500, 160);
    list_->setAccessibleName(QStringLiteral("选择其他人证书（可选）"));
    list_->viewport()->installEventFilter(this);
    otherBox->addWidget(list_);
    auto* viewRow = new QHBoxLayout;
    viewRow->addStretch(1);
    viewOther_ = controls::button(this, IDC_VIEW_OTHER, QStringLiteral("查看证书(&I)"));
    viewRow->addWidget(viewOther_);
    otherBox->addLayout(viewRow);
    layout->addWidget(controls::group(this, QStringLiteral("选择其他人证书（可选）(&R)"), otherBox));

    auto* options = new QVBoxLayout;
    deleteBox_ = new QCheckBox(QStringLiteral("加密完成后自动删除原始文件(&D)"), this);
    deleteBox_->setObjectName(QString::number(IDC_DELETE_SOURCE));
    protectBox_ = new QCheckBox(QStringLiteral("设置保护密码(&P)"), this);
    protectBox_->setObjectName(QString::number(IDC_PROTECT));
    options->addWidget(deleteBox_);
    options->addWidget(protectBox_);
    layout->addWidget(controls::group(this, QStringLiteral("选项"), options));

    QPushButton* ok = controls::addOkCancel(this, layout, QStringLiteral("加密"));

    viewDefault_->setEnabled(false);
    viewOther_->setEnabled(false);
    connect(sourceBrowse, &QPushButton::clicked, this, [this] {
        QString chosen = FileDialogFacade::open(this, QString(), QStringLiteral("所有文件 (*.*)|*.*||"));
        if (chosen.isEmpty()) return;
        sourceEdit_->setText(chosen);
        outputEdit_->setText(chosen + ".ovk");
    });
    // A typed source proposes its secure file as a chosen one does, until the output is edited.
    connect(sourceEdit_, &QLineEdit::textEdited, this, [this](const QString& typed) {
        if (!outputEdit_->isModified()) outputEdit_->setText(typed.isEmpty() ? QString() : typed + ".ovk");
    });
    connect(outputBrowse, &QPushButton::clicked, this, [this] {
        QString chosen = FileDialogFacade::save(this, "ovk", QStringLiteral("OVK 文件(*.ovk)|*.ovk||"));
        if (!chosen.isEmpty()) outputEdit_->setText(chosen);
    });
    connect(viewDefault_, &QPushButton::clicked, this, [this] {
        if (default_) default_->Display();
    });
    connect(change, &QPushButton::clicked, this, &CEncryptDialog::changeDefault);
    connect(list_, &QTreeWidget::itemPressed, this, [this](QTreeWidgetItem* item) { rowClicked(item); });
    // Moving through the rows with the keyboard chooses the row to view as a click does.
    connect(list_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) { rowClicked(item); });
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        rowClicked(item);
        viewOther();
    });
    connect(list_, &QTreeWidget::itemChanged, this, &CEncryptDialog::rowChecked);
    connect(viewOther_, &QPushButton::clicked, this, &CEncryptDialog::viewOther);
    connect(protectBox_, &QCheckBox::toggled, this, &CEncryptDialog::protectToggled);
    connect(ok, &QPushButton::clicked, this, &CEncryptDialog::onOk);

    fillList();
    default_ = defaultcert::load();
    showDefault();
}

CEncryptDialog::~CEncryptDialog() = default;

void CEncryptDialog::setSource(const std::string& path) {
    std::string trimmed = trimPath(path);
    sourceEdit_->setText(QString::fromStdString(trimmed));
    outputEdit_->setText(QString::fromStdString(trimmed + ".ovk"));
}

void CEncryptDialog::fillList() {
    list_->clear();
    if (others_->OpenCertStore() != 0) return;
    for (int i = 0; i < others_->GetCertCount(); ++i) {
        CDigitalCertificate& c = *others_->getCert(i);
        auto* item = new QTreeWidgetItem(list_);
        item->setIcon(0, artwork::icon(255));
        item->setText(0, text(c, &CDigitalCertificate::getDisplayName));
        item->setText(1, text(c, &CDigitalCertificate::getIssuerCN));
        item->setText(2, text(c, &CDigitalCertificate::getValidToDate));
        item->setText(3, text(c, &CDigitalCertificate::getFriendlyName));
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(0, Qt::Unchecked);
    }
    // Wide enough for what they hold: a cut issuer or date says nothing.
    for (int c = 0; c < list_->columnCount(); ++c) list_->resizeColumnToContents(c);
}

void CEncryptDialog::showDefault() {
    defaultName_->setText(default_ ? text(*default_, &CDigitalCertificate::getDisplayName) : QString());
    viewDefault_->setEnabled(default_ != nullptr);
}

void CEncryptDialog::changeDefault() {
    CMyCertStore mine;
    if (mine.OpenCertStore() != 0) return;
    // Only certificates that may encrypt, as on the settings page.
    mine.SetFilter("KeyUsage", "Crypt");
    CDlgSelectCert picker(mine, QStringLiteral("设置默认的加密证书"), this);
    if (picker.exec() != QDialog::Accepted) return;
    int index = picker.selectedIndex();
    if (index < 0 || index >= mine.GetCertCount()) return;
    auto chosen = std::make_unique<CDigitalCertificate>(*mine.getCert(index));
    if (!fitsSecureFile(this, *chosen)) return;
    if (!defaultcert::store(chosen.get())) {
        controls::message(this, "保存设置失败！", MB_OK | MB_ICONHAND);
        return;
    }
    default_ = std::move(chosen);
    showDefault();
}

void CEncryptDialog::protectToggled(bool on) {
    password_.wipe();
    if (!on) return;
    CSetPasswordDialog dialog(this);
    if (dialog.exec() == QDialog::Accepted) {
        password_ = controls::Secret(dialog.password()).text();
        return;
    }
    QSignalBlocker quiet(protectBox_);
    protectBox_->setChecked(false);
}

void CEncryptDialog::rowChecked(QTreeWidgetItem* item, int column) {
    const int row = list_->indexOfTopLevelItem(item);
    if (column != 0 || item->checkState(0) != Qt::Checked || row < 0 || row >= others_->GetCertCount()) return;
    if (fitsSecureFile(this, *others_->getCert(row))) return;
    QSignalBlocker quiet(list_);
    item->setCheckState(0, Qt::Unchecked);
}

void CEncryptDialog::rowClicked(QTreeWidgetItem* item) {
    clicked_ = item ? list_->indexOfTopLevelItem(item) : -1;
    viewOther_->setEnabled(clicked_ >= 0);
}

bool CEncryptDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == list_->viewport() && event->type() == QEvent::MouseButtonPress) {
        auto* press = static_cast<QMouseEvent*>(event);
        if (!list_->itemAt(press->position().toPoint())) rowClicked(nullptr);
    }
    return QDialog::eventFilter(watched, event);
}

void CEncryptDialog::viewOther() {
    if (clicked_ >= 0 && clicked_ < others_->GetCertCount()) others_->getCert(clicked_)->Display();
}

void CEncryptDialog::onOk() {
    const std::string source = pathtext::trim(sourceEdit_->text().toStdString());
    const std::string output = pathtext::trim(outputEdit_->text().toStdString());
    if (source.empty()) {
        controls::message(this, "请选择加密原始文件！", MB_OK | MB_ICONINFORMATION);
        return;
    }
    if (output.empty()) {
        controls::message(this, "请选择加密目标文件！", MB_OK | MB_ICONINFORMATION);
        return;
    }
    if (defaultName_->text().isEmpty()) {
        controls::message(this, "请配置默认的文件加密证书！", MB_OK | MB_ICONINFORMATION);
        return;
    }
    QFileInfo info(QString::fromStdString(source));
    if (!info.exists()) {
        controls::message(this, "您所指定的文件不存在！", MB_OK | MB_ICONHAND);
        return;
    }
    if (!info.isFile()) {
        controls::message(this, "请选定一个文件！", MB_OK | MB_ICONHAND);
        return;
    }
    // The question is about the file that will be written, suffix included.
    const std::string target = pathtext::ensureSuffix(output, ".ovk");
    if (SameFile(source, target)) {
        controls::message(this, "加密后的文件不能与原始文件相同！", MB_OK | MB_ICONHAND);
        return;
    }
    if (QFileInfo::exists(QString::fromStdString(target)) &&
        controls::message(this, "您所指定加密的文件已经存在，要覆盖它吗？", MB_YESNO | MB_ICONEXCLAMATION) != IDYES)
        return;
    if (!protectBox_->isChecked()) password_.wipe();
    // The default certificate is read again: another window may have changed or removed it.
    Recipients recipients;
    auto current = defaultcert::load();
    if (!current) {
        default_.reset();
        showDefault();
        controls::message(this, "请配置默认的文件加密证书！", MB_OK | MB_ICONINFORMATION);
        return;
    }
    // Set elsewhere (the settings, an older version) it was never checked here.
    if (!fitsSecureFile(this, *current)) return;
    recipients.push_back(std::move(current));
    for (int i = 0; i < list_->topLevelItemCount() && i < others_->GetCertCount(); ++i)
        if (list_->topLevelItem(i)->checkState(0) == Qt::Checked)
            recipients.push_back(std::make_unique<CDigitalCertificate>(*others_->getCert(i)));
    source_ = source;
    target_ = target;
    deleteSource_ = deleteBox_->isChecked();
    recipients_ = std::move(recipients);
    accept();
}

}  // namespace orvikdesk
