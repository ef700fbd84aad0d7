// Every Open-file and Save-file dialog of the program goes through here. Tests switch it to
// headless mode and answer each dialog with a path (or an empty text: cancelled).
#pragma once

#include <QString>
#include <deque>

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

    // The Qt name filters of a resource filter, e.g. {"PFX Files (*.pfx)"}.
    static QStringList nameFilters(const QString& filter);
};

}  // namespace orvikdesk
