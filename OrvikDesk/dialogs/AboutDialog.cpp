#include "dialogs/AboutDialog.h"

#include <QBoxLayout>
#include <QLabel>
#include <QPushButton>

#include <orvik/Deployment.h>

#include "ui/Artwork.h"
#include "widgets/LinkStatic.h"

namespace orvikdesk {

CAboutDialog::CAboutDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QString("IDD%1").arg(IDD));
    setWindowTitle(QStringLiteral("Orvik数字证书助手"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 14);
    layout->setSpacing(14);

    auto* top = new QHBoxLayout;
    top->setSpacing(18);
    auto* logo = new QLabel(this);
    logo->setObjectName("logo");
    // The badge carries its own plate, so it reads on light and dark dialogs alike.
    logo->setPixmap(artwork::bitmap(142));
    logo->setAccessibleName(QStringLiteral("Orvik"));
    top->addWidget(logo, 0, Qt::AlignTop);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(6);
    auto* version = new QLabel(QStringLiteral("Orvik数字证书助手1.5版"), this);
    version->setObjectName("version");
    QFont heading = version->font();
    heading.setBold(true);
    heading.setPointSizeF(heading.pointSizeF() * 1.15);
    version->setFont(heading);
    texts->addWidget(version);

    maker_ = new CLinkStatic(this);
    maker_->setObjectName(QString::number(IDC_MAKER));
    maker_->setText(QStringLiteral("Orvikon 数字证书服务"));
    maker_->SetURL(QString::fromStdString(orvik::deployment::text(orvik::deployment::kHomePage)));
    maker_->SetUnderline(1);
    maker_->setAccessibleName(maker_->text());
    texts->addWidget(maker_, 0, Qt::AlignLeft);

    report_ = new CLinkStatic(this);
    report_->setObjectName(QString::number(IDC_REPORT));
    report_->setText(QStringLiteral("报告Bug"));
    report_->SetURL("mailto:" + QString::fromStdString(orvik::deployment::text(orvik::deployment::kProblemReport)));
    report_->SetUnderline(1);
    report_->setAccessibleName(report_->text());
    texts->addWidget(report_, 0, Qt::AlignLeft);
    top->addLayout(texts);
    top->addStretch(1);
    layout->addLayout(top);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto* ok = new QPushButton(QStringLiteral("确定"), this);
    ok->setObjectName("1");
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    buttons->addWidget(ok);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

}  // namespace orvikdesk
