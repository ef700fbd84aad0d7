// Answers the program's modal dialogs from a test: the dialog's exec() runs its own event loop,
// in which the queued step finds the dialog and works its controls.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <functional>

namespace orvikdesk::test {

// Runs `step` on the next modal dialog of type T once it shows; fails the test when none comes
// within five seconds.
template <class T>
void onNextModal(std::function<void(T*)> step) {
    auto* timer = new QTimer(qApp);  // freed with the application when no dialog ever comes
    auto waited = std::make_shared<int>(0);
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, waited, step] {
        if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            step(dialog);
            return;
        }
        if (++*waited > 1000) {
            timer->stop();
            timer->deleteLater();
            ADD_FAILURE() << "no modal " << T::staticMetaObject.className() << " was shown";
        }
    });
    timer->start();
}

// Control `id` of a dialog, by its resource number.
template <class W = QWidget>
W* control(QWidget* dialog, int id) {
    W* w = dialog->findChild<W*>(QString::number(id));
    EXPECT_NE(w, nullptr) << "control " << id;
    return w;
}

inline void setText(QWidget* dialog, int id, const QString& text) {
    if (auto* e = control<QLineEdit>(dialog, id)) e->setText(text);
}

inline void click(QWidget* dialog, int id) {
    if (auto* b = control<QPushButton>(dialog, id)) b->click();
}

}  // namespace orvikdesk::test
