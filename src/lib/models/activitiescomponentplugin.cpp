// The QML plug-in that makes the activities models of zephyn-models available as QML
// element types, version 0.1, in the module org.zephyn.models.
//
// The plug-in object itself, and the guard that keeps exactly one of them alive at a
// time, come from moc (Q_PLUGIN_METADATA in the header). What the plug-in adds is the
// registration of the two model types, announced by one debug line in the framework's
// default debug area. Qt keeps the registrations; the plug-in holds no state of its
// own.

#include "activitiescomponentplugin.h"

#include <jyxdebug.h>
#include <zephyn/models/activitymodel.h>
#include <zephyn/models/resourcemodel.h>

#include <QtQml/qqml.h>

// Registers both model types under `uri` at version 0.1, ResourceModel first. Any URI is
// accepted as it stands: the engine passes the one of the module it imports.
//
// The debug line carries this file's name relative to the source tree (the build's
// fixed-length directory prefix is cut off), the line of the statement and the
// function's signature. When area 0 is switched off nothing is built or emitted.
//
// The line goes through the framework's debug facility, not qDebug(), so that users
// silence it per debug area like every other framework message, and so that the
// facility's file, line and function context tells where it came from. The stream is a
// temporary: it is destroyed, and the message emitted, at the end of the statement,
// also when writing to it throws.
//
// The registration results are not checked: a refused type (negative id) must not keep
// the other one from being registered, and the engine reports refusals itself.
void TarquellComponentDataPlugin::registerTypes(const char *uri)
{
    if (!JyxDebug::hasNullOutput(QtDebugMsg, true, 0, false)) {
        jyxDebugStream(QtDebugMsg, 0, JYX_SOURCE_FILE, __LINE__, Q_FUNC_INFO)
            << "###########";
    }

    qmlRegisterType<Zephyn::Models::ResourceModel>(uri, 0, 1, "ResourceModel");
    qmlRegisterType<Zephyn::Models::ActivityModel>(uri, 0, 1, "ActivityModel");
}
