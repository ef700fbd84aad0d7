// Every Open-file and Save-file dialog of the program goes through here. Tests switch it to
// headless mode and answer each dialog with a path (or an empty text: cancelled).
#pragma once

#include <QString>
#include <QStringList>
#include <deque>

class QFileDialog;
class QWidget;

namespace orvikdesk {

class FileDialogFacade {
public:
    enum class Kind { Open, Save, Folder };
    struct Asked {
        Kind kind = Kind::Open;
        QString defaultSuffix, filter;
    };

    // `filter` in the resource form "PFX Files (*.pfx)|*.pfx||". The chosen path, or empty when
    // the user cancelled. The Save dialog asks no overwrite question: the callers ask their own.
    static QString open(QWidget* owner, const QString& defaultSuffix, const QString& filter);
    static QString save(QWidget* owner, const QString& defaultSuffix, const QString& filter);
    // An existing folder, under the title; empty when cancelled.
    static QString folder(QWidget* owner, const QString& title);

    static void setHeadless(bool headless);
    static void setNextAnswer(const QString& path);
    static const std::deque<Asked>& asked();  // headless dialogs, oldest first
    static void clear();

    // The Qt name filters of a resource filter, each shown as its own text and matching more
    // than it says: "*.*" is every name (with or without a dot), a .pfx chooser also shows .p12
    // files, a .cer chooser .crt, .pem and .der files; "所有文件 (*)" ends every list. Each entry
    // is the text followed by its patterns in parentheses, for a dialog that hides the details.
    static QStringList nameFilters(const QString& filter, Kind kind = Kind::Open);
    // Puts those filters on a dialog, showing each entry's own text only.
    static void applyFilters(QFileDialog& dialog, const QString& filter, Kind kind);
};

}  // namespace orvikdesk
