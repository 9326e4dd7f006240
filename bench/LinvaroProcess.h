#pragma once
// The real linvaro for benchmarks: pseudo-terminal ports provisioned as the
// program is in the field (PORT_SETTING rows in LINVARO.GDB, COMn mapped to
// the device in Linvaro.ini), started headless with its own --home and
// registry, its activity log going to a file in that folder.
#include "DynamicLibrary.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

inline const char* const kServiceName = "opc.clsid._6E39D8AB_9993_4038_B4F0_5EA9DED4CFD8";

inline bool Wait(const std::function<bool()>& cond, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    return true;
}

// Every port holds two descriptors here (master and a keeper of the slave)
// and one in linvaro; the soft limit is often 1024.
inline void RaiseDescriptorLimit()
{
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
        r.rlim_cur = r.rlim_max;
        setrlimit(RLIMIT_NOFILE, &r);
    }
}

// "VmRSS" of /proc/PID/status in KiB; -1 when the process is gone.
inline long ResidentKiB(qint64 pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (in >> key) {
        if (key == "VmRSS:") {
            long kib = -1;
            in >> kib;
            return kib;
        }
        in.ignore(1 << 16, '\n');
    }
    return -1;
}

inline int OpenDescriptors(qint64 pid)
{
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!d)
        return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n;
}

// CPU seconds (user + system) of a /proc/.../stat file.
inline double StatCpuSeconds(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    const std::size_t close = line.rfind(')'); // the command may hold spaces
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(line.substr(close + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) // state .. cmajflt: fields 3 to 13
        fields >> skip;
    double utime = 0, stime = 0;
    fields >> utime >> stime;
    return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU seconds a thread of a process has used so far: the main thread is the
// one whose id is the process id.
inline double ThreadCpuSeconds(qint64 pid, qint64 tid)
{
    return StatCpuSeconds("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/stat");
}

// CPU seconds of all the threads of a process so far.
inline double ProcessCpuSeconds(qint64 pid) { return StatCpuSeconds("/proc/" + std::to_string(pid) + "/stat"); }

struct Port {
    int master = -1;
    int slaveKeeper = -1; // keeps the line from hanging up before linvaro opens it
    std::string device;
    std::string description;
    std::string TagName() const { return description + "_COM" + std::to_string(index); }
    int index = 0; // COMn
};

class LinvaroProcess {
public:
    ~LinvaroProcess()
    {
        Stop();
        for (Port& p : ports) {
            if (p.slaveKeeper >= 0)
                close(p.slaveKeeper);
            if (p.master >= 0)
                close(p.master);
        }
    }

    // Port 1 is named first, the rest `others` (tags first_COM1, others_COMn).
    bool AddPorts(int count, const std::string& first, const std::string& others)
    {
        for (int i = 0; i < count; ++i) {
            Port p;
            p.index = static_cast<int>(ports.size()) + 1;
            p.description = p.index == 1 ? first : others;
            p.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (p.master < 0 || grantpt(p.master) || unlockpt(p.master)) {
                if (p.master >= 0)
                    close(p.master);
                std::fprintf(stderr, "cannot open pseudo-terminal %d\n", p.index);
                return false;
            }
            termios raw{};
            tcgetattr(p.master, &raw);
            cfmakeraw(&raw);
            tcsetattr(p.master, TCSANOW, &raw);
            p.device = ptsname(p.master);
            p.slaveKeeper = open(p.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            ports.push_back(p);
        }
        return true;
    }

    bool Start(int timeoutMs = 30000)
    {
        if (!home_.isValid() || !provision())
            return false;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* v : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "LINVARO_REGISTRY_ROOT"})
            env.insert(v, home_.path() + "/" + v);
        process_.setProcessEnvironment(env);
        // A benchmark killed by a watchdog must not leave its copy running:
        // one copy runs per program file, so it would refuse the next.
        process_.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
        process_.setStandardOutputFile(LogPath());
        process_.setStandardErrorFile(home_.path() + "/linvaro.err");
        process_.start(QString::fromStdString(programFolder + "linvaro"), {"--headless", "--home", home_.path()});
        if (!process_.waitForStarted(10000))
            return false;
        QFile log(LogPath());
        QByteArray text;
        const int expected = static_cast<int>(ports.size());
        const bool ok = Wait([&] {
            if (process_.state() != QProcess::Running)
                return true;
            if (!log.isOpen() && !log.open(QIODevice::ReadOnly))
                return false;
            text += log.readAll();
            return text.count("\" started!") >= expected &&
                   (!waitForBusName ||
                    QDBusConnection::sessionBus().interface()->isServiceRegistered(kServiceName).value());
        }, timeoutMs);
        if (!ok || process_.state() != QProcess::Running) {
            QFile err(home_.path() + "/linvaro.err");
            err.open(QIODevice::ReadOnly);
            std::fprintf(stderr, "linvaro did not start its %d ports\n%s%s", expected, text.right(2000).constData(),
                         err.readAll().right(2000).constData());
            return false;
        }
        return true;
    }

    void Stop()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(15000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

    qint64 Pid() const { return process_.processId(); }
    QString Home() const { return home_.path(); }
    QString LogPath() const { return home_.path() + "/linvaro.log"; }

    std::vector<Port> ports;
    // The folder the program is started from (its support libraries beside
    // it); copies in different folders run side by side.
    std::string programFolder = ProgramFolder();
    // Appended to Linvaro.ini (an [MQTT] section, say).
    std::string extraIni;
    // Only the first copy on a bus gets the OPC server's name.
    bool waitForBusName = true;

private:
    bool provision()
    {
        sqlite3* db = nullptr;
        if (sqlite3_open((home_.path().toStdString() + "/LINVARO.GDB").c_str(), &db) != SQLITE_OK) {
            sqlite3_close(db);
            return false;
        }
        std::string sql =
            "CREATE TABLE PORT_SETTING (ID, DESCRIPTION, PORT, BAUD_RATE, DATA_BITS, PARITY, STOP_BITS, FLOW_CONTROL,"
            " RECEIVED_STRING_TAG, RECEIVED_FLAG_TAG, SENT_STRING_TAG, SENT_FLAG_TAG, DISABLED, NULL_TERMINATED,"
            " FROM_SUBSTRING, CONVERT_HEX, AUTO_SEND_STRING, AUTO_SEND_INTERVAL, LOGGED, AUTO_SUFFIX);"
            "BEGIN;";
        for (const Port& p : ports)
            sql += "INSERT INTO PORT_SETTING VALUES (" + std::to_string(p.index) + ",'" + p.description + "','COM" +
                   std::to_string(p.index) + "','115200','8','None','1','None','','','','',0,13,'',0,'',100,0,'');";
        sql += "COMMIT;";
        const bool ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
        sqlite3_close(db);
        std::ofstream ini(home_.path().toStdString() + "/Linvaro.ini");
        ini << "[Serial Ports]\n";
        for (const Port& p : ports)
            ini << "COM" << p.index << "=" << p.device << "\n";
        ini << extraIni;
        return ok && ini.good();
    }

    QTemporaryDir home_;
    QProcess process_;
};

} // namespace bench
