#include "WizardPage.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "Banner.h"

WizardPage::WizardPage(int idd, QWidget* parent) : QDialog(parent) {
    setObjectName(QString("IDD%1").arg(idd));
    setWindowTitle(QStringLiteral("在线升级"));
    auto* outer = new QHBoxLayout(this);
    outer->addWidget(new Banner(this), 0, Qt::AlignTop);
    column_ = new QVBoxLayout;
    outer->addLayout(column_, 1);
    buttons_ = new QHBoxLayout;
    buttons_->addStretch(1);
    column_->addStretch(0);
    setMinimumWidth(560);
}

QLabel* WizardPage::addText(const QString& text, int id) {
    auto* label = new QLabel(text, this);
    label->setWordWrap(true);
    if (id) label->setObjectName(QString::number(id));
    column_->addWidget(label);
    return label;
}

QListWidget* WizardPage::addList(int id) {
    auto* list = new QListWidget(this);
    list->setObjectName(QString::number(id));
    list->setMinimumHeight(90);
    column_->addWidget(list, 1);
    return list;
}

QPushButton* WizardPage::addButton(int id, const QString& text) {
    auto* button = new QPushButton(text, this);
    button->setObjectName(QString::number(id));
    button->setAutoDefault(false);
    buttons_->addWidget(button);
    return button;
}
