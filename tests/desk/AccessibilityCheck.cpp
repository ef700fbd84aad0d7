#include "AccessibilityCheck.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QGroupBox>
#include <QLabel>
#include <QMap>
#include <QRegularExpression>
#include <QWidget>

namespace orvikdesk::test {

QStringList unnamedControls(QWidget* top) {
    QStringList out;
    for (QWidget* w : top->findChildren<QWidget*>()) {
        if (!(w->focusPolicy() & Qt::TabFocus) || !w->isVisibleTo(top) || w->focusProxy()) continue;
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
        if (!a || a->text(QAccessible::Name).trimmed().isEmpty())
            out << QStringLiteral("%1 %2").arg(QString::fromLatin1(w->metaObject()->className()), w->objectName());
    }
    return out;
}

QStringList doubledMnemonics(QWidget* top) {
    static const QRegularExpression amp(QStringLiteral("&([^&])"));
    QMap<QChar, QStringList> used;
    auto note = [&](const QString& text, QWidget* w) {
        if (!w->isVisibleTo(top)) return;
        if (auto m = amp.match(text); m.hasMatch()) used[m.captured(1).at(0).toUpper()] << text;
    };
    for (QLabel* l : top->findChildren<QLabel*>())
        if (l->buddy()) note(l->text(), l);
    for (QAbstractButton* b : top->findChildren<QAbstractButton*>()) note(b->text(), b);
    for (QGroupBox* g : top->findChildren<QGroupBox*>()) note(g->title(), g);
    QStringList out;
    for (auto it = used.begin(); it != used.end(); ++it)
        if (it.value().size() > 1) out << it.value().join(" / ");
    return out;
}

}  // namespace orvikdesk::test
