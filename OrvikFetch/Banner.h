// The wizard pages' picture (image 133): the assistant's mark on a tall band of colour.
#pragma once

#include <QLabel>

class Banner : public QLabel {
public:
    enum { IDB = 133 };
    explicit Banner(QWidget* parent = nullptr);
};
