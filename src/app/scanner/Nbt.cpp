#include "app/scanner/Nbt.h"

#include "core/NetBios.h"

#include <QMetaObject>
#include <QSocketNotifier>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace norvale {

// The state one scan shares between the GUI thread and its workers. A worker hands a call to the
// GUI thread and blocks until it has run or the scan has been stopped; stopping wakes every wait,
// so the scanner can always join its workers at once, and calls that were still queued for a
// stopped scan are dropped instead of run.
struct NbtScan : std::enable_shared_from_this<NbtScan> {
    NbtScan(TNbt& scanner, netbios::AddressQueue addresses, int timeOut)
        : scanner(&scanner), addresses(std::move(addresses)), timeOut(timeOut) {}

    // Runs `call` on the scanner's thread and waits for it. Returns false when the scan was
    // stopped before the call could run.
    bool handOff(std::function<void(TNbt&)> call);

    TNbt* const scanner; // alive while !stopped: the scanner stops and joins before it goes
    std::mutex lock;
    std::condition_variable changed;
    bool stopped = false;
    netbios::AddressQueue addresses;
    std::atomic<int> timeOut;
    std::vector<std::unique_ptr<TSendThread>> threads;
};

bool NbtScan::handOff(std::function<void(TNbt&)> call) {
    auto self = shared_from_this();
    auto done = std::make_shared<bool>(false);
    std::unique_lock guard(lock);
    if (stopped)
        return false;
    QMetaObject::invokeMethod(
        scanner,
        [self, done, call = std::move(call)] {
            {
                std::lock_guard g(self->lock);
                if (self->stopped)
                    return;
            }
            // Release the worker however the call ends, also when an event handler throws.
            struct Release {
                NbtScan& scan;
                bool& done;
                ~Release() {
                    std::lock_guard g(scan.lock);
                    done = true;
                    scan.changed.notify_all();
                }
            } release{*self, *done};
            call(*self->scanner);
        },
        Qt::QueuedConnection);
    changed.wait(guard, [&] { return *done || stopped; });
    return *done;
}

} // namespace norvale

using norvale::NbtScan;

namespace {

constexpr const char* WakeAll = "Over";

std::string senderText(const sockaddr_in& from) {
    const auto* b = reinterpret_cast<const unsigned char*>(&from.sin_addr.s_addr);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    return buf;
}

} // namespace

// --- TSendThread ---------------------------------------------------------------------------

TSendThread::TSendThread(NbtScan& scan, int index) : Index(index), Scan(scan) {}

TSendThread::~TSendThread() {
    Join();
}

void TSendThread::Start() {
    Thread = std::thread([this] { Execute(); });
}

void TSendThread::Join() {
    if (Thread.joinable())
        Thread.join();
}

void TSendThread::Execute() {
    for (;;) {
        std::string address;
        {
            std::lock_guard g(Scan.lock);
            if (Scan.stopped)
                break;
            auto next = Scan.addresses.takeFirst();
            if (!next)
                break;
            address = *next;
            CurrentIP = address;
        }
        if (!Scan.handOff([address](TNbt& n) { n.SendRequest(address); }))
            break;
        std::unique_lock g(Scan.lock);
        const auto wait = std::chrono::milliseconds(std::max(0, Scan.timeOut.load()));
        Scan.changed.wait_for(g, wait, [&] { return WakeEvent || Scan.stopped; });
        // Resetting the event and forgetting the address in one step: a late answer for this
        // address can then no longer cut the wait for the next one short.
        WakeEvent = false;
        CurrentIP.clear();
    }
    {
        std::lock_guard g(Scan.lock);
        CurrentIP.clear();
    }
    Scan.handOff([index = Index](TNbt& n) { n.WorkerDone(index); });
}

// --- TNbt ----------------------------------------------------------------------------------

TNbt::TNbt(QObject* owner)
    : QObject(owner), endIP_(QStringLiteral("127.0.0.1")), beginIP_(QStringLiteral("127.0.0.1")),
      timeOut_(100), threadNum_(3) {}

TNbt::~TNbt() {
    destroying_ = true;
    StopScan();
}

void TNbt::setTimeOut(int ms) {
    timeOut_ = ms;
    if (scan_)
        scan_->timeOut = ms;
}

void TNbt::setThreadNum(int count) {
    if (count > 5 || count < 1)
        throw std::runtime_error("Thread Count must be 1-5");
    threadNum_ = count;
}

void TNbt::StartScan() {
    if (active_)
        return;
    scanCount_ = 0;
    auto addresses =
        norvale::netbios::BuildAddressList(beginIP_.toStdString(), endIP_.toStdString());
    if (!addresses)
        return;

    norvale::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd)
        throw std::runtime_error("Socket Init Error!");
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(localPort_);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        throw std::runtime_error("WinSock Bind Error");
    socket_ = std::move(fd);
    notifier_ = new QSocketNotifier(socket_.get(), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TNbt::readDatagram);

    const std::uint64_t queued = addresses->size();
    scan_ = std::make_shared<NbtScan>(*this, std::move(*addresses), timeOut_);
    Workers.assign(static_cast<std::size_t>(threadNum_), nullptr);
    try {
        for (int i = 0; i < threadNum_; ++i) {
            auto worker = std::make_unique<TSendThread>(*scan_, i);
            Workers[static_cast<std::size_t>(i)] = worker.get();
            scan_->threads.push_back(std::move(worker));
            scan_->threads.back()->Start();
        }
    } catch (const std::system_error&) {
        // Out of threads: undo everything and report it like any other set-up failure.
        endScan();
        throw std::runtime_error("Thread Init Error!");
    }
    active_ = true;
    if (OnBegin)
        OnBegin(static_cast<int>(std::min<std::uint64_t>(queued, INT_MAX)));
}

void TNbt::StopScan() {
    if (active_)
        endScan();
    if (!destroying_ && OnEnd)
        OnEnd(scanCount_);
}

void TNbt::endScan() {
    WakeWorkers(WakeAll);
    if (auto scan = std::move(scan_)) {
        {
            std::lock_guard g(scan->lock);
            scan->stopped = true;
            scan->changed.notify_all();
        }
        Workers.clear();
        // Every wait of a worker ends with `stopped`, and no worker needs this thread any more,
        // so the joins return at once. No worker outlives the scan, let alone the scanner.
        for (auto& t : scan->threads)
            t->Join();
        scan->threads.clear();
    }
    Workers.clear();
    closeSocket();
    active_ = false;
}

void TNbt::closeSocket() {
    if (notifier_) {
        // This may run inside the notifier's own signal (an OnReceive handler stopping the
        // scan), so it is only switched off here and deleted once control is back in the loop.
        notifier_->setEnabled(false);
        notifier_->deleteLater();
        notifier_ = nullptr;
    }
    socket_.reset();
}

void TNbt::SendRequest(const std::string& address) {
    const auto scan = scan_;
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(targetPort_);
    target.sin_addr.s_addr = inet_addr(address.c_str());
    const auto& request = norvale::netbios::nodeStatusRequest();
    const ssize_t sent = ::sendto(socket_.get(), request.data(), request.size(), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&target), sizeof target);
    if (OnStatus) {
        if (sent < 0)
            OnStatus(QStringLiteral("WinSock Error,Send data Failed!"));
        else if (static_cast<std::size_t>(sent) != request.size())
            OnStatus(QStringLiteral("Not Complete!"));
        else
            OnStatus(QStringLiteral("Scanning Host:") + QString::fromStdString(address));
    }
    if (scan_ != scan)
        return; // the status handler ended the scan; its end has been reported already
    ++scanCount_;
    if (OnProcess)
        OnProcess(scanCount_);
}

void TNbt::WorkerDone(int index) {
    for (auto& w : Workers)
        if (w && w->Index == index)
            w = nullptr;
    if (std::all_of(Workers.begin(), Workers.end(), [](auto* w) { return w == nullptr; }))
        StopScan();
}

void TNbt::readDatagram() {
    if (!socket_)
        return;
    std::uint8_t buffer[norvale::netbios::ReceiveBufferSize];
    sockaddr_in from{};
    socklen_t fromSize = sizeof from;
    // MSG_TRUNC reports the datagram's real length, so an oversized one can be dropped whole.
    const ssize_t received = ::recvfrom(socket_.get(), buffer, sizeof buffer, MSG_TRUNC,
                                        reinterpret_cast<sockaddr*>(&from), &fromSize);
    if (received <= 0 || static_cast<std::size_t>(received) > sizeof buffer)
        return;
    if (fromSize < sizeof from || from.sin_family != AF_INET)
        return;
    const std::string sender = senderText(from);
    const auto scan = scan_;
    if (auto status =
            norvale::netbios::ParseNodeStatus(buffer, static_cast<std::size_t>(received))) {
        if (OnReceive)
            OnReceive(QString::fromStdString(sender), QString::fromStdString(status->computerName),
                      QString::fromStdString(status->userName),
                      QString::fromStdString(status->groupName),
                      QString::fromStdString(status->macAddress));
    }
    if (scan_ == scan)
        WakeWorkers(sender);
}

void TNbt::WakeWorkers(const std::string& text) {
    if (!scan_)
        return;
    std::lock_guard g(scan_->lock);
    for (auto* w : Workers)
        if (w && (text == WakeAll || text == w->CurrentIP))
            w->WakeEvent = true;
    scan_->changed.notify_all();
}
