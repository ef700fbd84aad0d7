#include "dialogs/AboutDialog.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include <orvik/Deployment.h>

#include "ui/Artwork.h"
#include "widgets/LinkStatic.h"

namespace orvikdesk {

CAboutDialog::CAboutDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QString("IDD%1").arg(IDD));
    setWindowTitle(QStringLiteral("Orvik数字证书助手"));
    auto* layout = new QGridLayout(this);
    auto* logo = new QLabel(this);
    logo->setPixmap(artwork::bitmap(142));
    layout->addWidget(logo, 0, 0, 3, 1, Qt::AlignTop);
    auto* version = new QLabel(QStringLiteral("Orvik数字证书助手1.5版"), this);
    version->setObjectName("version");
    layout->addWidget(version, 0, 1);

    maker_ = new CLinkStatic(this);
    maker_->setObjectName(QString::number(IDC_MAKER));
    maker_->setText(QStringLiteral("Orvikon 数字证书服务"));
    maker_->SetURL(QString::fromStdString(orvik::deployment::text(orvik::deployment::kHomePage)));
    maker_->SetUnderline(1);
    layout->addWidget(maker_, 1, 1);

    report_ = new CLinkStatic(this);
    report_->setObjectName(QString::number(IDC_REPORT));
    report_->setText(QStringLiteral("报告Bug"));
    report_->SetURL("mailto:" + QString::fromStdString(orvik::deployment::text(orvik::deployment::kProblemReport)));
    report_->SetUnderline(1);
    layout->addWidget(report_, 2, 1);

    auto* ok = new QPushButton(QStringLiteral("确定"), this);
    ok->setObjectName("1");
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    layout->addWidget(ok, 0, 2, Qt::AlignTop);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

}  // namespace orvikdesk
