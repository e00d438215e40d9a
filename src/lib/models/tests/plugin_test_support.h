#pragma once

// What the plug-in tests share: the built plug-in loaded by file, a scratch activities
// store, and QML documents compiled by a real engine.

#include <QtCore/QFile>
#include <QtCore/QLibrary>
#include <QtCore/QTemporaryDir>
#include <QtQml/QQmlComponent>
#include <QtQml/QQmlEngine>
#include <QtQml/QQmlExtensionPlugin>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

using PluginInstanceFunction = QObject *(*)();

// The plug-in's own qt_plugin_instance, resolved from the built library.
inline PluginInstanceFunction pluginInstanceFunction()
{
    static QLibrary library(QStringLiteral(PLUGIN_FILE));
    if (!library.isLoaded() && !library.load())
        ADD_FAILURE() << library.errorString().toStdString();
    return reinterpret_cast<PluginInstanceFunction>(library.resolve("qt_plugin_instance"));
}

inline QQmlExtensionPlugin *pluginInstance()
{
    PluginInstanceFunction instance = pluginInstanceFunction();
    return instance ? qobject_cast<QQmlExtensionPlugin *>(instance()) : nullptr;
}

// A small store with two activities and one resource, named by ZEPHYN_ACTIVITIES_FILE.
class ScratchStore
{
public:
    ScratchStore()
    {
        const QString path = m_dir.filePath(QStringLiteral("activities.json"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            ADD_FAILURE() << "cannot write " << path.toStdString();
        file.write(R"({"currentActivity": "b",
                       "activities": [{"id": "a", "name": "Alpha", "icon": "go-first"},
                                      {"id": "b", "name": "Beta"}],
                       "resources": [{"uri": "file:///r", "title": "R", "activity": "a"}]})");
        ::setenv("ZEPHYN_ACTIVITIES_FILE", QFile::encodeName(path).constData(), 1);
    }
    ~ScratchStore() { ::unsetenv("ZEPHYN_ACTIVITIES_FILE"); }

private:
    QTemporaryDir m_dir;
};

// Compiles `document` and creates its root object. On failure the result is null and
// `errors` holds the engine's complaints.
inline std::unique_ptr<QObject> createFromQml(QQmlEngine &engine, const QByteArray &document,
                                              QString *errors = nullptr)
{
    QQmlComponent component(&engine);
    component.setData(document, QUrl(QStringLiteral("file:///test.qml")));
    std::unique_ptr<QObject> object(component.create());
    if (errors)
        *errors = component.errorString();
    return object;
}

// An engine that finds the modules in build/qml.
inline void addBuildImportPath(QQmlEngine &engine)
{
    engine.addImportPath(QStringLiteral(QML_IMPORT_DIR));
}
