#include "jyxdebug.h"

#include "areasettings.h"

#include <QtCore/QMessageLogger>
#include <QtCore/QString>

namespace JyxDebug {

namespace {

// Only debug and info output follows the area switches; problems are always reported.
bool isSwitchable(QtMsgType type)
{
    return type == QtDebugMsg || type == QtInfoMsg;
}

// A stream whose text goes nowhere: QDebug writing into a string never reaches the
// message handler. One sink per thread keeps concurrent streams apart.
QDebug discardingStream()
{
    thread_local QString sink;
    sink.clear();
    return QDebug(&sink);
}

} // namespace

bool hasNullOutput(QtMsgType type, bool condition, int area, bool offByDefault)
{
    if (!condition)
        return true;
    if (!isSwitchable(type))
        return false;
    return !AreaSettings::instance().isEnabled(area, offByDefault);
}

void setAreaEnabled(int area, bool enabled)
{
    AreaSettings::instance().setEnabled(area, enabled);
}

void resetAreaSettings()
{
    AreaSettings::instance().reset();
}

} // namespace JyxDebug

QDebug jyxDebugStream(QtMsgType type, int area, const char *file, int line, const char *function)
{
    if (JyxDebug::hasNullOutput(type, true, area, false))
        return JyxDebug::discardingStream();

    const QMessageLogger logger(file, line, function,
                                JyxDebug::AreaSettings::instance().categoryName(area));
    switch (type) {
    case QtDebugMsg:
        return logger.debug();
    case QtInfoMsg:
        return logger.info();
    case QtWarningMsg:
        return logger.warning();
    case QtCriticalMsg:
    case QtFatalMsg:
        break;
    }
    return logger.critical();
}
