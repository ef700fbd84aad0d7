#include "pages/PendingPage.h"

#include <QLabel>
#include <QVBoxLayout>

namespace orvikdesk {

CPendingPage::CPendingPage(int idd, const QString& title, QWidget* parent) : CPage(idd, parent) {
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel(title, this);
    label->setObjectName("title");
    label->setAlignment(Qt::AlignCenter);
    label->setStyleSheet("color: #7a869a;");
    layout->addWidget(label);
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::white);
    setPalette(p);
}

}  // namespace orvikdesk
