#include "ChoosePage.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

ChoosePage::ChoosePage(const std::vector<std::string>& supported, const std::vector<std::string>& offers,
                       const std::vector<std::string>& chosen, QWidget* parent)
    : WizardPage(IDD, parent) {
    addText(QStringLiteral("Orvikon在线升级支持以下项目的升级："));
    QListWidget* supportedList = addList(IDC_SUPPORTED);
    for (const std::string& item : supported) supportedList->addItem(QString::fromStdString(item));
    addText(QStringLiteral("本次升级有以下项目可供选择（请选择）："));
    QListWidget* offerList = addList(IDC_OFFERS);
    for (const std::string& text : offers) {
        auto* item = new QListWidgetItem(QString::fromStdString(text), offerList);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        bool again = std::find(chosen.begin(), chosen.end(), text) != chosen.end();
        item->setCheckState(again ? Qt::Checked : Qt::Unchecked);
        if (again) chosen_.push_back(text);
    }
    addText(QStringLiteral("请选择需要升级的项目，单击“下一步”继续……"));
    column_->addLayout(buttons_);
    next_ = addButton(IDC_NEXT, QStringLiteral("下一步"));
    QPushButton* cancel = addButton(IDC_CANCEL, QStringLiteral("取消"));
    next_->setEnabled(!chosen_.empty());
    next_->setDefault(true);
    connect(offerList, &QListWidget::itemChanged, this, &ChoosePage::itemChanged);
    connect(next_, &QPushButton::clicked, this, [this] { done(IDC_NEXT); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void ChoosePage::itemChanged(QListWidgetItem* item) {
    const std::string text = item->text().toStdString();
    auto at = std::find(chosen_.begin(), chosen_.end(), text);
    if (item->checkState() == Qt::Checked && at == chosen_.end()) chosen_.push_back(text);
    if (item->checkState() != Qt::Checked && at != chosen_.end()) chosen_.erase(at);
    next_->setEnabled(!chosen_.empty());
}
