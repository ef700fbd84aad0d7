#include "dialogs/ChangeBackupPasswordDialog.h"

#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <iterator>

#include <winuser.h>

#include "PFXFile.h"
#include "dialogs/DialogControls.h"
#include "ui/FileDialogFacade.h"

namespace orvikdesk {

namespace {

const char* const kFilter = "PFX Files (*.pfx)|*.pfx||";

QGroupBox* fileGroup(QWidget* parent, const QString& title, const QString& fileLabel, QLineEdit* file,
                     QPushButton* browse, const std::vector<std::pair<QString, QLineEdit*>>& passwords) {
    auto* group = new QGroupBox(title, parent);
    auto* grid = new QGridLayout(group);
    grid->addWidget(controls::label(group, fileLabel, file), 0, 0);
    grid->addWidget(file, 0, 1);
    grid->addWidget(browse, 0, 2);
    int row = 1;
    for (const auto& [label, edit] : passwords) {
        grid->addWidget(controls::label(group, label, edit), row, 0);
        grid->addWidget(edit, row++, 1);
    }
    return group;
}

}  // namespace

CChangeBackupPasswordDialog::CChangeBackupPasswordDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QString("IDD%1").arg(IDD));
    setWindowTitle(QStringLiteral("修改证书备份密码"));
    auto* layout = new QVBoxLayout(this);

    source_ = controls::edit(this, IDC_SOURCE);
    sourcePassword_ = controls::edit(this, IDC_SOURCE_PASSWORD, true);
    QPushButton* sourceBrowse = controls::button(this, IDC_SOURCE_BROWSE, QStringLiteral("选择(&B)..."));
    layout->addWidget(fileGroup(this, QStringLiteral("源文件"), QStringLiteral("源文件(&S)"), source_, sourceBrowse,
                                {{QStringLiteral("源文件密码(&P)"), sourcePassword_}}));

    target_ = controls::edit(this, IDC_TARGET);
    newPassword_ = controls::edit(this, IDC_NEW_PASSWORD, true);
    confirm_ = controls::edit(this, IDC_CONFIRM, true);
    QPushButton* targetBrowse = controls::button(this, IDC_TARGET_BROWSE, QStringLiteral("选择(&R)..."));
    layout->addWidget(
        fileGroup(this, QStringLiteral("目标文件\u3000"), QStringLiteral("目标文件(&T)"), target_, targetBrowse,
                  {{QStringLiteral("新密码(&N)"), newPassword_}, {QStringLiteral("新密码确认(&C)"), confirm_}}));

    QPushButton* ok = controls::addOkCancel(this, layout);
    // Tab as the fields are shown: each "选择..." right after its file.
    QWidget* shown[] = {source_, sourceBrowse, sourcePassword_, target_, targetBrowse, newPassword_, confirm_, ok};
    for (size_t i = 1; i < std::size(shown); ++i) setTabOrder(shown[i - 1], shown[i]);
    connect(ok, &QPushButton::clicked, this, &CChangeBackupPasswordDialog::onOk);
    connect(sourceBrowse, &QPushButton::clicked, this, [this] {
        QString chosen = FileDialogFacade::open(this, "pfx", kFilter);
        if (!chosen.isEmpty()) source_->setText(chosen);
    });
    connect(targetBrowse, &QPushButton::clicked, this, [this] {
        QString chosen = FileDialogFacade::save(this, "pfx", kFilter);
        if (!chosen.isEmpty()) target_->setText(chosen);
    });
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void CChangeBackupPasswordDialog::onOk() {
    const QString source = source_->text(), target = target_->text();
    if (source.isEmpty() || target.isEmpty()) {
        controls::message(this, "文件名不能为空！", MB_OK | MB_ICONHAND);
        return;
    }
    if (!controls::fileExists(source)) {
        controls::message(this, "您所要更改的源文件不存在！", MB_OK | MB_ICONHAND);
        return;
    }
    if (newPassword_->text() != confirm_->text()) {
        controls::message(this, "新密码和确认密码不一致!", MB_OK | MB_ICONHAND);
        return;
    }
    if (QFileInfo::exists(target) &&
        controls::message(this, "您所指定的文件已经存在，要覆盖它吗？", MB_YESNO | MB_ICONEXCLAMATION) != IDYES)
        return;
    // The new file is written beside the target and renamed over it only when complete, so the
    // same file as source and target never loses the only backup of the key.
    controls::Secret oldPassword(sourcePassword_->text()), newPassword(newPassword_->text());
    CPFXFile file;
    int rc = file.UpdateP12FilePasswd(source.toStdString().c_str(), oldPassword.c_str(), target.toStdString().c_str(),
                                      newPassword.c_str());
    switch (rc) {
    case 0:
        controls::message(this, "修改备份密码成功！", MB_OK | MB_ICONINFORMATION);
        accept();
        return;
    case 6: controls::message(this, "备份失败，文件格式错误！", MB_OK | MB_ICONHAND); return;
    case 7:
        controls::message(this, "备份失败，源文件口令错误！", MB_OK | MB_ICONHAND);
        sourcePassword_->setFocus();
        sourcePassword_->selectAll();
        return;
    case 13: controls::message(this, "备份失败，生成目标文件错误！", MB_OK | MB_ICONHAND); return;
    default:
        if (std::string form;
            rc == 5 && InspectPkcs12(source.toStdString().c_str(), oldPassword.c_str(), form) == -1 && !form.empty())
            controls::message(this, ("备份失败，不支持源文件所用的保护方式（" + form + "）！").c_str(),
                              MB_OK | MB_ICONHAND);
        else
            controls::message(this, "备份失败！", MB_OK | MB_ICONHAND);
        return;
    }
}

}  // namespace orvikdesk
