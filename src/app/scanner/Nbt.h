#pragma once
// The LAN scanner: sends one NetBIOS node-status request to every address of a range and reports
// each node that answers. All socket work and every event run on the thread that owns the
// scanner (the GUI thread); 1 to 5 worker threads only pace the scan: each takes the next
// address, has the request sent by the GUI thread, and waits for the answer or the time-out.
#include "core/UniqueFd.h"

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class QSocketNotifier;

namespace norvale {
struct NbtScan;
}

// One worker of a running scan. Owned by its scan; the scanner joins it when the scan ends.
class TSendThread {
public:
    TSendThread(norvale::NbtScan& scan, int index);
    ~TSendThread();
    TSendThread(const TSendThread&) = delete;
    TSendThread& operator=(const TSendThread&) = delete;

    void Start();
    void Join();

    const int Index; // the worker's slot in TNbt::Workers

private:
    friend class TNbt;
    void Execute();

    norvale::NbtScan& Scan;
    // Both guarded by the scan's lock.
    std::string CurrentIP;  // the address probed now; empty between addresses
    bool WakeEvent = false; // manual-reset: set by an answer or by the end of the scan
    std::thread Thread;
};

class TNbt : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString EndIP READ EndIP WRITE setEndIP)
    Q_PROPERTY(QString BeginIP READ BeginIP WRITE setBeginIP)
    Q_PROPERTY(int TimeOut READ TimeOut WRITE setTimeOut)
    Q_PROPERTY(int ThreadNum READ ThreadNum WRITE setThreadNum)

public:
    static constexpr std::uint16_t DefaultTargetPort = 137;
    static constexpr std::uint16_t DefaultLocalPort = 8327;

    explicit TNbt(QObject* owner = nullptr);
    // Ends a running scan without reporting it; waits for the workers, which all return at once.
    ~TNbt() override;

    QString EndIP() const { return endIP_; }
    void setEndIP(const QString& ip) { endIP_ = ip; }
    QString BeginIP() const { return beginIP_; }
    void setBeginIP(const QString& ip) { beginIP_ = ip; }
    // Milliseconds a worker waits for each answer; a change reaches the workers of a running
    // scan at their next wait. A negative value counts as 0.
    int TimeOut() const { return timeOut_; }
    void setTimeOut(int ms);
    int ThreadNum() const { return threadNum_; }
    // Throws "Thread Count must be 1-5" outside 1..5 and keeps the old value.
    void setThreadNum(int count);

    bool Active() const { return active_; }
    // Requests sent in the current or last scan.
    int ScanCount() const { return scanCount_; }

    // Where requests go and where answers come back; tests move both off the NetBIOS ports.
    std::uint16_t targetPort() const { return targetPort_; }
    void setTargetPort(std::uint16_t port) { targetPort_ = port; }
    std::uint16_t localPort() const { return localPort_; }
    void setLocalPort(std::uint16_t port) { localPort_ = port; }

    // Starts a scan of BeginIP..EndIP; does nothing while one runs or when either address does
    // not parse. Throws "Socket Init Error!" or "WinSock Bind Error" when the socket cannot be
    // set up; the scanner then stays idle.
    void StartScan();
    // Ends a running scan at once and reports OnEnd (also when idle).
    void StopScan();

    // Events; an unassigned one is skipped. All run on the scanner's thread.
    std::function<void(const QString& nMsg)> OnStatus;
    std::function<void(const QString& nIP, const QString& nHostName, const QString& nUserName,
                       const QString& nGroupName, const QString& nMacAddr)>
        OnReceive;
    std::function<void(int nTotalScan)> OnEnd;
    std::function<void(int nIPNumber)> OnBegin;
    std::function<void(int nHasDone)> OnProcess;

private:
    friend class TSendThread;
    friend struct norvale::NbtScan;

    // Called by the workers through the GUI thread.
    void SendRequest(const std::string& address);
    void WorkerDone(int index);

    void readDatagram();
    void WakeWorkers(const std::string& text);
    void endScan();
    void closeSocket();

    bool active_ = false;
    QString endIP_;
    QString beginIP_;
    int timeOut_;
    int scanCount_ = 0;
    int threadNum_;
    std::uint16_t targetPort_ = DefaultTargetPort;
    std::uint16_t localPort_ = DefaultLocalPort;
    bool destroying_ = false;

    norvale::UniqueFd socket_;
    QSocketNotifier* notifier_ = nullptr;
    std::shared_ptr<norvale::NbtScan> scan_;
    // One slot per worker of the running scan; cleared when its worker has ended.
    std::vector<TSendThread*> Workers;
};
