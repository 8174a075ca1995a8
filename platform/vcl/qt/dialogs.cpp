// The save dialog over Qt: Qt's own file dialog (the same widget dialog on
// every desktop, rather than the platform's), modal over its owner's window.
#include <QDir>
#include <QFileDialog>
#include <QStringList>

#include "platform/vcl/qt/backend.h"
#include "platform/vcl/qt/native.h"

namespace vcl {

using qt::qstring;
using qt::string;

namespace {

// Qt's name filters for a VCL Filter of description and pattern pairs. Qt reads
// the patterns from the parentheses that end a filter: a description that ends
// with its own patterns so ("PNG picture (*.png)|*.png") is the filter as it
// is; any other gets them added ("Pictures|*.png;*.bmp" is "Pictures (*.png
// *.bmp)"). A description without a pattern after it is left out.
QStringList name_filters(const String& filter) {
    const QStringList parts = qstring(filter).split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString description = parts[i].trimmed();
        QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (QString& pattern : patterns)
            pattern = pattern.trimmed();
        const QString joined = patterns.join(QLatin1Char(' '));
        const QString own = QLatin1Char('(') + joined + QLatin1Char(')');
        if (description.isEmpty()) {
            filters.push_back(joined);
        } else if (description.endsWith(own)) {
            filters.push_back(description);
        } else {
            filters.push_back(description + QLatin1Char(' ') + own);
        }
    }
    return filters;
}

}  // namespace

bool TSaveDialog::Execute() {
    QWidget* owner = owner_ != nullptr ? qt::widget(owner_) : nullptr;
    QFileDialog dialog(owner);
    // Found by this name (and its title) by whoever drives it, the tests among them.
    dialog.setObjectName(QStringLiteral("rawmiceSaveDialog"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    if (owner != nullptr)
        dialog.setWindowModality(Qt::WindowModal);  // the other windows go on
    if (!Title.empty())
        dialog.setWindowTitle(qstring(Title));
    const QStringList filters = name_filters(Filter);
    if (!filters.isEmpty())
        dialog.setNameFilters(filters);
    QString suffix = qstring(DefaultExt);
    if (suffix.startsWith(QLatin1Char('.')))
        suffix.remove(0, 1);
    dialog.setDefaultSuffix(suffix);
    // A full path opens the dialog in its folder with its name proposed.
    if (!FileName.empty())
        dialog.selectFile(qstring(FileName));
    // Replacing a file that exists is asked first: Qt's dialog does so by default.
    if (dialog.exec() != QDialog::Accepted)
        return false;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty())
        return false;
    FileName = string(QDir::toNativeSeparators(chosen.front()));
    return true;
}

}  // namespace vcl
