// What a screen reader and a keyboard user find in a window, for the tests that hold it to that.
#pragma once

#include <QStringList>

class QWidget;

namespace orvikdesk::test {

// The controls of `top` that Tab reaches, as shown now, without a name for a screen reader.
QStringList unnamedControls(QWidget* top);

// Mnemonic letters used twice among the shown buttons, group titles and labels with a buddy,
// each with the texts that share it.
QStringList doubledMnemonics(QWidget* top);

}  // namespace orvikdesk::test
