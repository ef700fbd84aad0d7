#include "config/SiteEditDlg.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "dialogs/DialogControls.h"

namespace orvikdesk {

CSiteEditDlg::CSiteEditDlg(const QString& title, const QString& url, const QString& name, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QString("IDD%1").arg(IDD));
    setWindowTitle(title);
    auto* layout = new QVBoxLayout(this);
    auto* grid = new QGridLayout;
    url_ = controls::edit(this, IDC_URL);
    url_->setText(url);
    url_->setMinimumWidth(300);
    name_ = controls::edit(this, IDC_NAME);
    name_->setText(name);
    grid->addWidget(controls::label(this, QStringLiteral("Velmar注册网站(&U)"), url_), 0, 0);
    grid->addWidget(url_, 0, 1);
    grid->addWidget(controls::label(this, QStringLiteral("名  称(&N)"), name_), 1, 0);
    grid->addWidget(name_, 1, 1);
    layout->addLayout(grid);
    // Any text will do, an empty URL included.
    QPushButton* ok = controls::addOkCancel(this, layout);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

QString CSiteEditDlg::url() const { return url_->text(); }
QString CSiteEditDlg::name() const { return name_->text(); }

}  // namespace orvikdesk
