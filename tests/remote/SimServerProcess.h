#pragma once
// The simulated OPC server as a real process on the session bus, with its own
// registry store (shared with this process through LINVARO_REGISTRY_ROOT).
#include "DynamicLibrary.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <signal.h>

class SimServerProcess {
public:
    explicit SimServerProcess(QStringList tags) : tags_(std::move(tags))
    {
        qputenv("LINVARO_REGISTRY_ROOT", registry_.path().toUtf8());
    }
    ~SimServerProcess() { Stop(); }

    // Starts it and waits for its "Serving" line; false when it did not come.
    bool Start()
    {
        QStringList args;
        for (const QString& t : tags_)
            args << QStringLiteral("--tag") << t;
        process_.setProgram(QString::fromStdString(ProgramFolder()) + QStringLiteral("linvaro-opc-sim"));
        process_.setArguments(args);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start();
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 10000) {
            if (!process_.waitForReadyRead(100) && process_.state() != QProcess::Running)
                return false;
            output_ += process_.readAllStandardOutput();
            if (output_.contains("Serving"))
                return true;
        }
        return false;
    }
    void Stop()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        Resume();
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    void Pause() { ::kill(static_cast<pid_t>(process_.processId()), SIGSTOP); }
    void Resume() { ::kill(static_cast<pid_t>(process_.processId()), SIGCONT); }
    // Lines of written values it printed so far.
    QByteArray Output()
    {
        output_ += process_.readAllStandardOutput();
        return output_;
    }

private:
    QTemporaryDir registry_;
    QStringList tags_;
    QProcess process_;
    QByteArray output_;
};
