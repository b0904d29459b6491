#include "admin/qt/WaitLoop.h"

#include "platform/Time.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

void CWaitLoop::wait(uint32_t milliseconds)
{
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(milliseconds), &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    // An application on its way out ends every event loop at once; the command still
    // gets its time.
    const qint64 elapsed = clock.elapsed();
    if (elapsed < static_cast<qint64>(milliseconds))
        SleepMs(static_cast<uint32_t>(milliseconds - elapsed));
}
