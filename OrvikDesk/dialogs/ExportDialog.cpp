#include "dialogs/ExportDialog.h"

#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <winuser.h>

#include "dialogs/DialogControls.h"
#include "ui/FileDialogFacade.h"

namespace orvikdesk {

CExportDialog::CExportDialog(int idd, const QString& label, QStringList suffixes, const QString& filter,
                             QWidget* parent)
    : QDialog(parent), suffixes_(std::move(suffixes)), filter_(filter) {
    setObjectName(QString("IDD%1").arg(idd));
    setWindowTitle(QStringLiteral("导出证书"));
    auto* layout = new QVBoxLayout(this);
    auto* prompt = new QLabel(label, this);
    layout->addWidget(prompt);
    auto [path, browse] = controls::fileRow(this, layout, IDC_PATH, IDC_BROWSE);
    path_ = path;
    prompt->setBuddy(path_);
    browse_ = browse;
    body_ = new QVBoxLayout;
    layout->addLayout(body_);
    ok_ = controls::addOkCancel(this, layout);
    connect(ok_, &QPushButton::clicked, this, &CExportDialog::onOk);
    connect(browse_, &QPushButton::clicked, this, &CExportDialog::browse);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void CExportDialog::tabThrough(const QList<QWidget*>& fields) {
    QWidget* previous = browse_;
    for (QWidget* field : fields) {
        setTabOrder(previous, field);
        previous = field;
    }
    setTabOrder(previous, ok_);
}

void CExportDialog::browse() {
    QString chosen = FileDialogFacade::save(this, suffixes_.first().mid(1), filter_);
    if (!chosen.isEmpty()) path_->setText(chosen);
}

QString CExportDialog::target() const {
    QString typed = path_->text();
    for (const QString& suffix : suffixes_)
        if (typed.endsWith(suffix, Qt::CaseInsensitive)) return typed;
    return typed + suffixes_.first();
}

void CExportDialog::onOk() {
    if (path_->text().isEmpty()) {
        controls::message(this, "文件名不能为空！", MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    if (!checkFields()) return;
    if (QFileInfo::exists(target()) &&
        controls::message(this, "您所指定的文件已经存在，要覆盖它吗？", MB_YESNO | MB_ICONEXCLAMATION) != IDYES)
        return;
    accept();
}

void CExportDialog::setPath(const QString& path) { path_->setText(path); }
QString CExportDialog::path() const { return path_->text(); }

}  // namespace orvikdesk
