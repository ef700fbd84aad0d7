#include "ui/FileDialogFacade.h"

#include <QFileDialog>
#include <QStringList>
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
    QStringList filters = FileDialogFacade::nameFilters(filter);
    // Files of the same kind often carry other names (.p12, .crt, .pem): let the user see them.
    if (kind == FileDialogFacade::Kind::Open) filters << QStringLiteral("所有文件 (*)");
    dialog.setNameFilters(filters);
    dialog.setWindowTitle(kind == FileDialogFacade::Kind::Open ? QStringLiteral("打开") : QStringLiteral("另存为"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().first();
}

}  // namespace

QStringList FileDialogFacade::nameFilters(const QString& filter) {
    QStringList parts = filter.split('|');
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        const QString& title = parts[i];
        const QString& patterns = parts[i + 1];
        if (title.isEmpty()) continue;
        QString qtPatterns = QString(patterns).replace(';', ' ');
        out << (title.contains('(') ? title : title + " (" + qtPatterns + ")");
    }
    return out;
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
