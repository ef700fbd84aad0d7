#include "ui/FileDialogFacade.h"

#include <QFileDialog>
#include <QStringList>
#include <algorithm>
#include <mutex>

namespace orvikdesk {

namespace {

struct State {
    std::mutex lock;
    bool headless = false;
    std::deque<QString> answers;
    std::deque<FileDialogFacade::Asked> asked;
};

State& state() {
    static State s;
    return s;
}

QString ask(QWidget* owner, FileDialogFacade::Kind kind, const QString& defaultSuffix, const QString& filter) {
    State& s = state();
    {
        std::lock_guard guard(s.lock);
        if (s.headless) {
            s.asked.push_back({kind, defaultSuffix, filter});
            if (s.answers.empty()) return {};
            QString answer = s.answers.front();
            s.answers.pop_front();
            return answer;
        }
    }
    QFileDialog dialog(owner);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    if (kind == FileDialogFacade::Kind::Folder) {
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
        dialog.setWindowTitle(filter);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
        return dialog.selectedFiles().first();
    }
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setAcceptMode(kind == FileDialogFacade::Kind::Open ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    dialog.setFileMode(kind == FileDialogFacade::Kind::Open ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setDefaultSuffix(defaultSuffix);
    FileDialogFacade::applyFilters(dialog, filter, kind);
    dialog.setWindowTitle(kind == FileDialogFacade::Kind::Open ? QStringLiteral("打开") : QStringLiteral("另存为"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().first();
}

}  // namespace

QStringList FileDialogFacade::nameFilters(const QString& filter, Kind kind) {
    // Names the same kind of file carries elsewhere: exports from other systems and browsers.
    static const QList<QStringList> kindred = {{"*.pfx", "*.p12"}, {"*.cer", "*.crt", "*.pem", "*.der"}};
    const QString everything = QStringLiteral("*");
    const QStringList parts = filter.split('|');
    QStringList out;
    bool all = false;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        const QString& title = parts[i];
        if (title.isEmpty()) continue;
        QStringList patterns;
        for (const QString& raw : parts[i + 1].split(';', Qt::SkipEmptyParts)) {
            // "*.*" means every file where these texts come from; for Qt it is only names with a dot.
            const QString pattern = raw.trimmed() == "*.*" ? everything : raw.trimmed();
            if (!patterns.contains(pattern)) patterns << pattern;
        }
        if (patterns.isEmpty()) continue;
        if (kind == Kind::Open)
            for (const QStringList& family : kindred) {
                const bool member = std::any_of(patterns.begin(), patterns.end(), [&family](const QString& p) {
                    return family.contains(p, Qt::CaseInsensitive);
                });
                for (const QString& p : family)
                    if (member && !patterns.contains(p, Qt::CaseInsensitive)) patterns << p;
            }
        all = all || patterns.contains(everything);
        const QString shown =
            title.contains('(') ? title : title + " (" + QString(parts[i + 1]).replace(';', ' ') + ")";
        out << shown + " (" + patterns.join(' ') + ")";
    }
    if (!all) out << QStringLiteral("所有文件 (*) (*)");
    return out;
}

void FileDialogFacade::applyFilters(QFileDialog& dialog, const QString& filter, Kind kind) {
    // The text before the last parentheses is what the list shows; the patterns stay unseen.
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    dialog.setNameFilters(nameFilters(filter, kind));
}

QString FileDialogFacade::open(QWidget* owner, const QString& defaultSuffix, const QString& filter) {
    return ask(owner, Kind::Open, defaultSuffix, filter);
}

QString FileDialogFacade::save(QWidget* owner, const QString& defaultSuffix, const QString& filter) {
    return ask(owner, Kind::Save, defaultSuffix, filter);
}

// The title travels as the filter: what a headless test sees of the question.
QString FileDialogFacade::folder(QWidget* owner, const QString& title) { return ask(owner, Kind::Folder, {}, title); }

void FileDialogFacade::setHeadless(bool headless) {
    std::lock_guard guard(state().lock);
    state().headless = headless;
}

void FileDialogFacade::setNextAnswer(const QString& path) {
    std::lock_guard guard(state().lock);
    state().answers.push_back(path);
}

const std::deque<FileDialogFacade::Asked>& FileDialogFacade::asked() { return state().asked; }

void FileDialogFacade::clear() {
    std::lock_guard guard(state().lock);
    state().answers.clear();
    state().asked.clear();
}

}  // namespace orvikdesk
