#include "dialogs/DecryptDialog.h"

#include <QComboBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <winuser.h>

#include "MyCertStore.h"
#include "app/CommandLine.h"
#include "dialogs/DialogControls.h"
#include "services/PathText.h"
#include "ui/FileDialogFacade.h"

namespace orvikdesk {

CDecryptDialog::CDecryptDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QString("IDD%1").arg(IDD));
    setWindowTitle(QStringLiteral("解密文件"));
    auto* layout = new QVBoxLayout(this);

    auto* sourceRow = new QVBoxLayout;
    auto [sourceEdit, sourceBrowse] =
        controls::fileRow(this, sourceRow, IDC_SOURCE, IDC_SOURCE_BROWSE, QStringLiteral("选择(&S)..."));
    sourceEdit_ = sourceEdit;
    sourceEdit_->setMinimumWidth(320);
    layout->addWidget(controls::group(this, QStringLiteral("待解密的文件(&F)"), sourceRow));
    auto* outputRow = new QVBoxLayout;
    auto [outputEdit, outputBrowse] =
        controls::fileRow(this, outputRow, IDC_OUTPUT, IDC_OUTPUT_BROWSE, QStringLiteral("选择(&T)..."));
    outputEdit_ = outputEdit;
    layout->addWidget(controls::group(this, QStringLiteral("解密后的文件(&O)"), outputRow));

    auto* choice = new QVBoxLayout;
    chooseText_ = new QLabel(QStringLiteral("您有以下可供选择的用来解密该文件的证书(&C)："), this);
    chooseText_->setObjectName(QString::number(IDC_CHOOSE_TEXT));
    automaticText_ = new QLabel(this);
    automaticText_->setObjectName(QString::number(IDC_AUTOMATIC_TEXT));
    automaticText_->hide();
    auto* comboRow = new QHBoxLayout;
    certificates_ = new QComboBox(this);
    certificates_->setObjectName(QString::number(IDC_CERTIFICATES));
    certificates_->setAccessibleName(QStringLiteral("用来解密该文件的证书"));
    chooseText_->setBuddy(certificates_);
    view_ = controls::button(this, IDC_VIEW, QStringLiteral("查看证书(&V)"));
    view_->setEnabled(false);
    comboRow->addWidget(certificates_, 1);
    comboRow->addWidget(view_);
    choice->addWidget(chooseText_);
    choice->addLayout(comboRow);
    choice->addWidget(automaticText_);
    layout->addWidget(controls::group(this, QStringLiteral("选择证书"), choice));

    QPushButton* ok = controls::addOkCancel(this, layout, QStringLiteral("解密"));
    connect(ok, &QPushButton::clicked, this, &CDecryptDialog::onOk);
    connect(view_, &QPushButton::clicked, this, &CDecryptDialog::view);
    connect(sourceBrowse, &QPushButton::clicked, this, [this] {
        QString chosen = FileDialogFacade::open(this, "ovk", QStringLiteral("OVK Files(*.ovk)|*.ovk||"));
        if (chosen.isEmpty()) return;
        sourceEdit_->clear();
        outputEdit_->clear();
        sourceEdit_->setText(chosen);
        examine(chosen.toStdString());
    });
    // A typed source is examined when the user leaves the field or presses Enter, as a chosen one is,
    // so the output and the certificates are proposed before "解密".
    connect(sourceEdit_, &QLineEdit::editingFinished, this, [this] {
        const std::string typed = pathtext::trim(sourceEdit_->text().toStdString());
        if (typed.empty() || typed == tried_ || !controls::fileExists(QString::fromStdString(typed))) return;
        tried_ = typed;
        if (!examined_ || typed != source_) examine(typed);
    });
    connect(outputBrowse, &QPushButton::clicked, this, [this] {
        QString suffix = QString::fromStdString(header_.extension).right(3);
        QString chosen = FileDialogFacade::save(this, suffix, QStringLiteral("所有文件(*.*)|*.*||"));
        if (!chosen.isEmpty()) outputEdit_->setText(chosen);
    });
}

bool CDecryptDialog::setSource(const std::string& path) {
    std::string trimmed = trimPath(path);
    sourceEdit_->setText(QString::fromStdString(trimmed));
    return examine(trimmed);
}

void CDecryptDialog::clearChoice() {
    certificates_->clear();
    records_.clear();
    header_ = CSecureFile::Header();
    examined_ = false;
    view_->setEnabled(false);
}

bool CDecryptDialog::examine(const std::string& path) {
    clearChoice();
    CSecureFile::Header header;
    if (!CSecureFile::ReadHeader(path, header)) {
        controls::message(this, "打开解密源文件失败！", MB_OK | MB_ICONHAND);
        return false;
    }
    if (header.version != 1 && header.version != 2) {
        controls::message(this, "加密文件格式错误！", MB_OK | MB_ICONHAND);
        return false;
    }
    header_ = std::move(header);
    examined_ = true;
    source_ = path;
    const bool choose = header_.version == 2;
    certificates_->setVisible(choose);
    view_->setVisible(choose);
    chooseText_->setVisible(choose);
    automaticText_->setVisible(!choose);
    if (!choose) {
        automaticText_->setText(QStringLiteral("证书助手会为你选择合适的解密证书进行解密"));
        outputEdit_->setText(QString::fromStdString(pathtext::stripExtension(path)));
        return true;
    }
    CMyCertStore mine;
    if (mine.OpenCertStore() == 0)
        for (size_t i = 0; i < header_.records.size(); ++i) {
            std::string thumbprint = header_.records[i].thumbprint;
            if (!mine.FindByThumb(thumbprint)) continue;
            certificates_->addItem(QString::fromStdString(header_.records[i].displayName));
            records_.push_back(i);
        }
    if (!records_.empty()) certificates_->setCurrentIndex(0);
    view_->setEnabled(!records_.empty());
    // "报告.txt.ovk" becomes "报告.txt", "报告.ovk" of a .txt file too.
    outputEdit_->setText(
        QString::fromStdString(pathtext::ensureSuffix(pathtext::stripExtension(path), header_.extension)));
    return true;
}

void CDecryptDialog::view() {
    int item = certificates_->currentIndex();
    if (item < 0 || static_cast<size_t>(item) >= records_.size()) return;
    CMyCertStore mine;
    if (mine.OpenCertStore() != 0) return;
    std::string thumbprint = header_.records[records_[static_cast<size_t>(item)]].thumbprint;
    if (CDigitalCertificate* c = mine.FindByThumb(thumbprint)) c->Display();
}

void CDecryptDialog::onOk() {
    const std::string source = pathtext::trim(sourceEdit_->text().toStdString());
    const std::string output = pathtext::trim(outputEdit_->text().toStdString());
    if (source.empty()) {
        controls::message(this, "请选择加密文件！", MB_OK | MB_ICONHAND);
        return;
    }
    if (output.empty()) {
        controls::message(this, "请选择解密文件！", MB_OK | MB_ICONHAND);
        return;
    }
    QFileInfo info(QString::fromStdString(source));
    if (!info.exists()) {
        controls::message(this, "您所指定的文件不存在！", MB_OK | MB_ICONHAND);
        return;
    }
    if (!info.isFile()) {
        controls::message(this, "取文件长度时失败！", MB_OK | MB_ICONHAND);
        return;
    }
    // The file may have been typed rather than chosen, or changed since it was examined.
    if (!examined_ || source != source_) {
        if (!examine(source)) return;
        outputEdit_->setText(QString::fromStdString(output));
    }
    if (header_.version != 1 && header_.version != 2) {
        controls::message(this, "您所解密的文件已被破坏或者您所选定的文件为非加密文件！", MB_OK | MB_ICONHAND);
        return;
    }
    if (header_.version == 2 && records_.empty()) {
        controls::message(this, "没有可用的解密证书！", MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    // The question is about the file that will be written, the original extension included.
    const std::string target = header_.version == 2 ? pathtext::ensureSuffix(output, header_.extension) : output;
    if (SameFile(source, target)) {
        controls::message(this, "解密后的文件不能与加密文件相同！", MB_OK | MB_ICONHAND);
        return;
    }
    if (QFileInfo::exists(QString::fromStdString(target)) &&
        controls::message(this, "您所指定的解密文件已经存在，要覆盖它吗？", MB_YESNO | MB_ICONEXCLAMATION) != IDYES)
        return;
    source_ = source;
    target_ = target;
    int item = certificates_->currentIndex();
    record_ = header_.version == 2 && item >= 0 ? records_[static_cast<size_t>(item)] : 0;
    accept();
}

}  // namespace orvikdesk
