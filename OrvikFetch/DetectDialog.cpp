#include "DetectDialog.h"

#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>

DetectDialog::DetectDialog(int milliseconds, QWidget* parent) : QDialog(parent) {
    setObjectName(QString("IDD%1").arg(IDD));
    setWindowTitle(QString());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 18, 24, 18);
    layout->addWidget(new QLabel(QStringLiteral("正在检测新版本，请稍候……"), this));
    layout->setSizeConstraint(QLayout::SetFixedSize);
    QTimer::singleShot(milliseconds, this, &QDialog::accept);
}
