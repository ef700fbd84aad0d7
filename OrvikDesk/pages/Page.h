// One page of the main window: a child of the navigator bar with its dialog resource number.
// When shown it is activated: it refreshes itself and offers the menus that the frame puts at
// positions 2 ("操作(&O)") and 3 ("查看(&V)") of the menu bar.
#pragma once

#include <QWidget>

class QMenu;

namespace orvikdesk {

class CPage : public QWidget {
    Q_OBJECT
public:
    CPage(int idd, QWidget* parent);

    int idd() const { return idd_; }

    // Called each time the page is selected. The default does nothing.
    virtual void activate() {}
    // The page's menus for the menu bar, owned by the page; null for an empty popup.
    virtual QMenu* operateMenu() { return nullptr; }
    virtual QMenu* viewMenu() { return nullptr; }
    // A menu-bar command for this page; false when the page has nothing to do for it.
    virtual bool onCommand(int id) { return false; }

signals:
    // The page's menus changed (a selection came or went): the frame puts them in again.
    void menusChanged();

private:
    int idd_;
};

}  // namespace orvikdesk
