#include "app/scanner/ScanForm.h"

#include "app/shell/Translator.h"
#include "platform/MessageBox.h"

#include <QEvent>
#include <QFrame>
#include <QHeaderView>
#include <QIcon>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QShowEvent>
#include <QTreeWidget>

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <exception>
#include <ifaddrs.h>
#include <memory>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

namespace norvale {

namespace {

bool isLoopback(const std::string& dotted) {
    return dotted.rfind("127.", 0) == 0;
}

bool isDottedQuad(const std::string& s) {
    int parts = 0;
    std::size_t i = 0;
    while (true) {
        std::size_t digits = 0;
        int value = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9' && digits < 4) {
            value = value * 10 + (s[i] - '0');
            ++digits;
            ++i;
        }
        if (digits == 0 || digits > 3 || value > 255)
            return false;
        ++parts;
        if (i == s.size())
            return parts == 4;
        if (s[i] != '.' || parts == 4)
            return false;
        ++i;
    }
}

std::string dotted(const in_addr& a) {
    char buf[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

struct AddrInfoFree {
    void operator()(addrinfo* p) const { ::freeaddrinfo(p); }
};
struct IfAddrsFree {
    void operator()(ifaddrs* p) const { ::freeifaddrs(p); }
};

std::vector<std::string> resolvedHostAddresses() {
    char name[64] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return {};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* raw = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &raw) != 0)
        return {};
    std::unique_ptr<addrinfo, AddrInfoFree> list(raw);
    std::vector<std::string> out;
    for (auto* p = list.get(); p; p = p->ai_next)
        if (p->ai_family == AF_INET && p->ai_addrlen >= sizeof(sockaddr_in))
            out.push_back(dotted(reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr));
    return out;
}

std::vector<std::string> interfaceAddresses() {
    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0)
        return {};
    std::unique_ptr<ifaddrs, IfAddrsFree> list(raw);
    std::vector<std::string> out;
    for (auto* p = list.get(); p; p = p->ifa_next) {
        if (!p->ifa_addr || p->ifa_addr->sa_family != AF_INET)
            continue;
        if (!(p->ifa_flags & IFF_UP) || (p->ifa_flags & IFF_LOOPBACK))
            continue;
        out.push_back(dotted(reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr));
    }
    return out;
}

// Two small networked computers; their screens dark or lit blue.
QIcon statusIcon(bool lit) {
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    const QColor frame(70, 76, 86), screen = lit ? QColor(40, 140, 235) : QColor(30, 34, 40);
    const auto computer = [&](int x, int y) {
        p.fillRect(x, y, 8, 6, frame);
        p.fillRect(x + 1, y + 1, 6, 4, screen);
        p.fillRect(x + 3, y + 6, 2, 1, frame);
        p.fillRect(x + 1, y + 7, 6, 1, frame);
    };
    computer(0, 1);
    computer(8, 7);
    p.setPen(frame);
    p.drawLine(4, 9, 4, 12);
    p.drawLine(4, 12, 7, 12);
    return QIcon(pm);
}

// Rows stay ordered by computer name, compared the way the user's locale sorts text.
class ComputerItem : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem& other) const override {
        return QString::localeAwareCompare(text(0), other.text(0)) < 0;
    }
};

} // namespace

std::vector<std::string> hostIPv4Addresses() {
    auto addresses = resolvedHostAddresses();
    const bool loopbackOnly = std::all_of(addresses.begin(), addresses.end(),
                                          [](const std::string& a) { return isLoopback(a); });
    if (loopbackOnly) {
        auto interfaces = interfaceAddresses();
        if (!interfaces.empty())
            return interfaces;
    }
    return addresses;
}

std::optional<std::string> scanPrefix(const std::vector<std::string>& addresses) {
    if (addresses.empty())
        return std::nullopt;
    const std::string& local = addresses.back();
    if (!isDottedQuad(local) || isLoopback(local))
        return std::nullopt;
    return local.substr(0, local.rfind('.') + 1);
}

} // namespace norvale

TScanForm::TScanForm(norvale::IMessageBox& messages, QWidget* parent,
                     norvale::LocalAddressSource localAddresses)
    : QDialog(parent), messages_(messages), localAddresses_(std::move(localAddresses)) {
    setObjectName(QStringLiteral("ScanForm"));
    setWindowTitle(QStringLiteral("Choose a computer from lan"));
    setFont(QFont(QStringLiteral("Tahoma"), 8));
    setFixedSize(425, 326);
    setModal(true);

    listView1_ = new QTreeWidget(this);
    listView1_->setObjectName(QStringLiteral("ListView1"));
    listView1_->setGeometry(0, 0, 425, 265);
    listView1_->setColumnCount(3);
    listView1_->setHeaderLabels(
        {QStringLiteral("Computer"), QStringLiteral("IP Address"), QStringLiteral("Work Group")});
    listView1_->setColumnWidth(0, 160);
    listView1_->setColumnWidth(1, 120);
    listView1_->setColumnWidth(2, 120);
    listView1_->setRootIsDecorated(false);
    listView1_->setItemsExpandable(false);
    listView1_->setAllColumnsShowFocus(true);
    listView1_->setSelectionMode(QAbstractItemView::SingleSelection);
    listView1_->setSelectionBehavior(QAbstractItemView::SelectRows);
    listView1_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    listView1_->setIconSize(QSize(16, 16));
    ilStatus_ = {norvale::statusIcon(false), norvale::statusIcon(true)};
    listView1_->header()->setSectionsClickable(false);
    listView1_->setSortingEnabled(true);
    listView1_->sortByColumn(0, Qt::AscendingOrder);
    // The chosen row stays marked when the list loses the focus.
    QPalette pal = listView1_->palette();
    for (auto role : {QPalette::Highlight, QPalette::HighlightedText})
        pal.setColor(QPalette::Inactive, role, pal.color(QPalette::Active, role));
    listView1_->setPalette(pal);
    listView1_->viewport()->installEventFilter(this);

    bevel1_ = new QFrame(this);
    bevel1_->setObjectName(QStringLiteral("Bevel1"));
    bevel1_->setFrameShape(QFrame::HLine);
    bevel1_->setFrameShadow(QFrame::Sunken);
    bevel1_->setGeometry(0, 206 + 62 - 2, 451, 2);

    okBtn_ = new QPushButton(QStringLiteral("&OK"), this);
    okBtn_->setObjectName(QStringLiteral("OKBtn"));
    okBtn_->setGeometry(220, 286, 75, 25);
    okBtn_->setDefault(true);
    connect(okBtn_, &QPushButton::clicked, this, [this] { OKBtnClick(); });

    cancelBtn_ = new QPushButton(QStringLiteral("&Cancel"), this);
    cancelBtn_->setObjectName(QStringLiteral("CancelBtn"));
    cancelBtn_->setGeometry(311, 286, 75, 25);
    connect(cancelBtn_, &QPushButton::clicked, this, &QDialog::reject);

    nbt1_ = new TNbt(this);
    nbt1_->setObjectName(QStringLiteral("Nbt1"));
    nbt1_->setEndIP(QStringLiteral("127.0.0.1"));
    nbt1_->setBeginIP(QStringLiteral("127.0.0.1"));
    nbt1_->setTimeOut(100);
    nbt1_->setThreadNum(3);
    nbt1_->OnReceive = [this](const QString& ip, const QString& host, const QString& user,
                              const QString& group,
                              const QString& mac) { Nbt1Receive(ip, host, user, group, mac); };

    norvale::Translator::translateComponent(this);
}

TScanForm::~TScanForm() {
    // Rows must not arrive in a half-destroyed dialog: stop first, without an end report.
    nbt1_->OnReceive = nullptr;
    nbt1_->StopScan();
}

void TScanForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

bool TScanForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == listView1_->viewport()) {
        if (event->type() == QEvent::MouseButtonRelease &&
            static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
            ListView1Click();
        else if (event->type() == QEvent::MouseButtonDblClick &&
                 static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
            OKBtnClick();
    }
    return QDialog::eventFilter(watched, event);
}

void TScanForm::FormShow() {
    if (!firstShow_)
        return;
    listView1_->clear();
    const auto prefix =
        norvale::scanPrefix(localAddresses_ ? localAddresses_() : std::vector<std::string>{});
    if (!prefix)
        return;
    const QString network = QString::fromStdString(*prefix);
    nbt1_->setBeginIP(network + QStringLiteral("1"));
    nbt1_->setEndIP(network + QStringLiteral("254"));
    try {
        nbt1_->StartScan();
        firstShow_ = false;
    } catch (const std::exception& e) {
        messages_.error(QStringLiteral("Scanning Failed!") + QString::fromUtf8(e.what()), this);
    }
}

void TScanForm::ListView1Click() {
    const auto rows = listView1_->selectedItems();
    if (rows.isEmpty())
        return;
    selectedComputer_ = rows.first()->text(0);
    selectedIP_ = rows.first()->text(1);
}

void TScanForm::OKBtnClick() {
    if (listView1_->selectedItems().isEmpty()) {
        messages_.error(QStringLiteral("Please choose a computer!"), this);
        return;
    }
    // A row chosen with the keyboard is the one accepted, so it is also the result.
    ListView1Click();
    accept();
}

void TScanForm::Nbt1Receive(const QString& nIP, const QString& nHostName, const QString&,
                            const QString& nGroupName, const QString&) {
    auto* row = new norvale::ComputerItem(QStringList{nHostName, nIP, nGroupName});
    row->setIcon(0, ilStatus_[1]);
    listView1_->addTopLevelItem(row);
}
