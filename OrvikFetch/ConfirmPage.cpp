#include "ConfirmPage.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

ConfirmPage::ConfirmPage(const std::vector<std::string>& chosen, QWidget* parent) : WizardPage(IDD, parent) {
    addText(QStringLiteral("本次升级将为您升级以下项目："));
    QListWidget* list = addList(IDC_CHOSEN);
    for (const std::string& text : chosen) list->addItem(QString::fromStdString(text));
    addText(QStringLiteral("单击“上一步”重新选择，单击“下一步”继续……"));
    column_->addLayout(buttons_);
    QPushButton* back = addButton(IDC_BACK, QStringLiteral("上一步"));
    QPushButton* next = addButton(IDC_NEXT, QStringLiteral("下一步"));
    QPushButton* cancel = addButton(IDC_CANCEL, QStringLiteral("取消"));
    next->setDefault(true);
    connect(back, &QPushButton::clicked, this, [this] { done(IDC_BACK); });
    connect(next, &QPushButton::clicked, this, [this] { done(IDC_NEXT); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}
