#include "admin/qt/DesktopOpener.h"

#include <QDesktopServices>
#include <QMimeDatabase>
#include <QProcess>
#include <QUrl>

namespace
{
// xdg-mime answers from its files at once; a hung one must not hold the console.
constexpr int QUERY_TIMEOUT_MS = 3000;

bool HasProgramFor(const QString& mimeType)
{
    QProcess query;
    query.start(QStringLiteral("xdg-mime"), {QStringLiteral("query"), QStringLiteral("default"),
                                              mimeType});
    if (!query.waitForFinished(QUERY_TIMEOUT_MS))
    {
        query.kill();
        query.waitForFinished(QUERY_TIMEOUT_MS);
        return false;
    }
    return query.exitStatus() == QProcess::NormalExit && query.exitCode() == 0 &&
           !query.readAllStandardOutput().trimmed().isEmpty();
}
} // namespace

bool OpenWithDesktopProgram(const QString& path)
{
    const QString type = QMimeDatabase().mimeTypeForFile(path).name();
    return HasProgramFor(type) && QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}
