#pragma once

// Collects what reaches Qt's message handler while an instance is alive.

#include <QtCore/QString>
#include <QtCore/QtGlobal>

#include <mutex>
#include <string>
#include <vector>

struct CapturedMessage
{
    QtMsgType type;
    std::string file;
    int line;
    std::string function;
    std::string category;
    QString text;
};

class CapturedMessages
{
public:
    CapturedMessages()
    {
        active() = this;
        m_previous = qInstallMessageHandler(&CapturedMessages::handle);
    }
    ~CapturedMessages()
    {
        qInstallMessageHandler(m_previous);
        active() = nullptr;
    }

    std::vector<CapturedMessage> all()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages;
    }

private:
    static CapturedMessages *&active()
    {
        static CapturedMessages *current = nullptr;
        return current;
    }

    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        CapturedMessages *self = active();
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_messages.push_back({type, context.file ? context.file : "", context.line,
                                    context.function ? context.function : "",
                                    context.category ? context.category : "", text});
    }

    std::mutex m_mutex;
    std::vector<CapturedMessage> m_messages;
    QtMessageHandler m_previous = nullptr;
};
