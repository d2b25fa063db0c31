// The computer chooser. Scans that the dialog starts itself for a non-loopback network aim at
// destination port 0, which the kernel refuses before routing, so no request leaves the host.
#include "app/scanner/ScanForm.h"
#include "platform/MessageBox.h"

#include "LoopbackResponder.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace norvale::test;
using norvale::MessageIcon;
using norvale::RecordingMessageBox;

namespace {

norvale::LocalAddressSource addresses(std::vector<std::string> list) {
    return [list] { return list; };
}

// Keeps the dialog's own scans on the host: port 0 never leaves it, and a zero time-out ends them
// quickly.
void keepScansLocal(TScanForm& form) {
    form.Nbt1().setTargetPort(0);
    form.Nbt1().setLocalPort(freeUdpPort());
    form.Nbt1().setTimeOut(0);
}

void addRow(TScanForm& form, const char* ip, const char* host, const char* group) {
    form.Nbt1().OnReceive(QString::fromLatin1(ip), QString::fromLatin1(host), QStringLiteral("U"),
                          QString::fromLatin1(group), QStringLiteral("00.00.00.00.00.00"));
}

std::vector<std::string> rows(const TScanForm& form) {
    std::vector<std::string> out;
    auto* list = form.ListView1();
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        auto* it = list->topLevelItem(i);
        out.push_back(it->text(0).toStdString() + "|" + it->text(1).toStdString() + "|" +
                      it->text(2).toStdString());
    }
    return out;
}

void mouse(QWidget* target, QEvent::Type type, QPoint at) {
    QMouseEvent e(type, QPointF(at), QPointF(target->mapToGlobal(at)), Qt::LeftButton,
                  type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                  Qt::NoModifier);
    QApplication::sendEvent(target, &e);
}

void click(TScanForm& form, QPoint at) {
    auto* vp = form.ListView1()->viewport();
    mouse(vp, QEvent::MouseButtonPress, at);
    mouse(vp, QEvent::MouseButtonRelease, at);
}

void doubleClick(TScanForm& form, QPoint at) {
    auto* vp = form.ListView1()->viewport();
    click(form, at);
    mouse(vp, QEvent::MouseButtonDblClick, at);
    mouse(vp, QEvent::MouseButtonRelease, at);
}

QPoint rowCentre(TScanForm& form, int row) {
    auto* list = form.ListView1();
    return list->visualItemRect(list->topLevelItem(row)).center();
}

} // namespace

TEST(ScanForm, NetworkPrefixRule) {
    struct Case {
        std::vector<std::string> list;
        std::optional<std::string> prefix;
    };
    const std::vector<Case> cases = {
        {{"10.1.2.3"}, "10.1.2."},
        {{"192.168.0.5", "10.1.2.3"}, "10.1.2."}, // the last address decides
        {{"10.1.2.3", "127.0.0.1"}, std::nullopt},
        {{"127.0.0.1"}, std::nullopt},
        {{"127.0.1.1"}, std::nullopt}, // any loopback address
        {{}, std::nullopt},
        {{""}, std::nullopt},
        {{"10.1.2"}, std::nullopt},
        {{"10.1.2.3.4"}, std::nullopt},
        {{"10..2.3"}, std::nullopt},
        {{"a.b.c.d"}, std::nullopt},
        {{"10.1.2.256"}, std::nullopt},
        {{"10.1.2.3 "}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list.empty() ? "(none)" : c.list.back());
        EXPECT_EQ(norvale::scanPrefix(c.list), c.prefix);
    }
}

TEST(ScanForm, Layout) {
    RecordingMessageBox box;
    TScanForm form(box, nullptr, addresses({}));
    EXPECT_EQ(form.windowTitle(), "Choose a computer from lan");
    EXPECT_EQ(form.size(), QSize(425, 326));
    auto* header = form.ListView1()->headerItem();
    EXPECT_EQ(header->text(0), "Computer");
    EXPECT_EQ(header->text(1), "IP Address");
    EXPECT_EQ(header->text(2), "Work Group");
    EXPECT_EQ(form.ListView1()->columnWidth(0), 160);
    EXPECT_EQ(form.OKBtn()->text(), "&OK");
    EXPECT_TRUE(form.OKBtn()->isDefault());
    EXPECT_EQ(form.CancelBtn()->text(), "&Cancel");
    EXPECT_EQ(form.Nbt1().TimeOut(), 100);
    EXPECT_EQ(form.Nbt1().ThreadNum(), 3);
    EXPECT_TRUE(form.FirstShow());
    EXPECT_TRUE(form.SelectedComputer().isEmpty());
    EXPECT_TRUE(form.SelectedIP().isEmpty());
}

TEST(ScanForm, NoUsableAddressMeansNoScanAndNoMessage) {
    RecordingMessageBox box;
    TScanForm form(box, nullptr, addresses({"127.0.0.1"}));
    keepScansLocal(form);
    form.show();
    EXPECT_FALSE(form.Nbt1().Active());
    EXPECT_TRUE(form.FirstShow());
    EXPECT_EQ(form.Nbt1().BeginIP(), "127.0.0.1");
    EXPECT_TRUE(box.requests.empty());
}

TEST(ScanForm, FailedStartIsShownAndRetriedAtTheNextShowing) {
    RecordingMessageBox box;
    PortBlocker blocker;
    TScanForm form(box, nullptr, addresses({"192.168.7.40", "10.1.2.3"}));
    keepScansLocal(form);
    form.Nbt1().setLocalPort(blocker.port());
    form.show();
    EXPECT_EQ(form.Nbt1().BeginIP(), "10.1.2.1");
    EXPECT_EQ(form.Nbt1().EndIP(), "10.1.2.254");
    EXPECT_FALSE(form.Nbt1().Active());
    EXPECT_TRUE(form.FirstShow());
    ASSERT_EQ(box.requests.size(), 1u);
    EXPECT_EQ(box.requests[0].text, "Scanning Failed!WinSock Bind Error");
    EXPECT_EQ(box.requests[0].caption, "Error");
    EXPECT_EQ(box.requests[0].icon, MessageIcon::Error);
    EXPECT_EQ(box.requests[0].owner, &form);

    form.hide();
    blocker.release();
    form.show();
    EXPECT_EQ(box.requests.size(), 1u);
    EXPECT_FALSE(form.FirstShow());
    EXPECT_TRUE(spinUntil([&] { return !form.Nbt1().Active(); }));
}

TEST(ScanForm, TheNetworkIsScannedOnceAndRowsFoundMeanwhileStay) {
    RecordingMessageBox box;
    TScanForm form(box, nullptr, addresses({"10.1.2.3"}));
    keepScansLocal(form);
    form.show();
    ASSERT_TRUE(form.Nbt1().Active());
    EXPECT_FALSE(form.FirstShow());
    form.hide();
    addRow(form, "10.1.2.9", "LATE", "WG");
    ASSERT_TRUE(spinUntil([&] { return !form.Nbt1().Active(); }));
    EXPECT_EQ(form.Nbt1().ScanCount(), 254);

    form.show();
    EXPECT_FALSE(form.Nbt1().Active());
    EXPECT_EQ(form.Nbt1().ScanCount(), 254);
    EXPECT_EQ(rows(form), std::vector<std::string>{"LATE|10.1.2.9|WG"});
    EXPECT_TRUE(box.requests.empty());
}

TEST(ScanForm, ListsTheComputersThatAnswer) {
    LoopbackResponder r(3);
    r.answer("127.0.0.2", computerAnswer("ZETA", "U", "LAB"));
    r.answer("127.0.0.4", computerAnswer("ALPHA", "U", "HOME"));
    RecordingMessageBox box;
    TScanForm form(box, nullptr, addresses({}));
    form.show();
    auto& n = form.Nbt1();
    n.setTargetPort(r.port());
    n.setLocalPort(freeUdpPort());
    n.setBeginIP(QStringLiteral("127.0.0.2"));
    n.setEndIP(QStringLiteral("127.0.0.4"));
    n.StartScan();
    ASSERT_TRUE(spinUntil([&] { return !n.Active(); }));
    EXPECT_EQ(rows(form), (std::vector<std::string>{"ALPHA|127.0.0.4|HOME", "ZETA|127.0.0.2|LAB"}));
    EXPECT_FALSE(form.ListView1()->topLevelItem(0)->icon(0).isNull());
}

TEST(ScanForm, RowsStaySortedByComputerNameAndRepeatsAreKept) {
    RecordingMessageBox box;
    TScanForm form(box, nullptr, addresses({}));
    addRow(form, "10.0.0.3", "MIKE", "WG");
    addRow(form, "10.0.0.1", "", "WG");
    addRow(form, "10.0.0.2", "BRAVO", "WG");
    addRow(form, "10.0.0.3", "MIKE", "WG");
    EXPECT_EQ(rows(form), (std::vector<std::string>{"|10.0.0.1|WG", "BRAVO|10.0.0.2|WG",
                                                    "MIKE|10.0.0.3|WG", "MIKE|10.0.0.3|WG"}));
}

TEST(ScanForm, OkWithoutAChosenRowAsksForOne) {
    RecordingMessageBox box;
    TScanForm form(box, nullptr, addresses({}));
    form.show();
    addRow(form, "10.0.0.1", "ONE", "WG");
    form.OKBtn()->click();
    ASSERT_EQ(box.requests.size(), 1u);
    EXPECT_EQ(box.requests[0].text, "Please choose a computer!");
    EXPECT_EQ(box.requests[0].caption, "Error");
    EXPECT_EQ(box.requests[0].icon, MessageIcon::Error);
    EXPECT_TRUE(form.isVisible());

    // A double-click on the empty part of the list is the same as OK.
    doubleClick(form, QPoint(200, 240));
    EXPECT_EQ(box.requests.size(), 2u);
    EXPECT_TRUE(form.isVisible());
}

TEST(ScanForm, DoubleClickAcceptsTheRow) {
    RecordingMessageBox box;
    TScanForm form(box, nullptr, addresses({}));
    form.show();
    addRow(form, "10.0.0.2", "BETA", "WG");
    addRow(form, "10.0.0.1", "ALPHA", "WG");
    doubleClick(form, rowCentre(form, 1));
    EXPECT_TRUE(box.requests.empty());
    EXPECT_EQ(form.result(), QDialog::Accepted);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.SelectedComputer(), "BETA");
    EXPECT_EQ(form.SelectedIP(), "10.0.0.2");
}

TEST(ScanForm, CancelKeepsTheClickedRow) {
    RecordingMessageBox box;
    TScanForm form(box, nullptr, addresses({}));
    form.show();
    addRow(form, "10.0.0.1", "ALPHA", "WG");
    click(form, rowCentre(form, 0));
    EXPECT_EQ(form.SelectedComputer(), "ALPHA");
    form.CancelBtn()->click();
    EXPECT_EQ(form.result(), QDialog::Rejected);
    EXPECT_EQ(form.SelectedComputer(), "ALPHA");
    EXPECT_EQ(form.SelectedIP(), "10.0.0.1");
}

TEST(ScanForm, ARowChosenWithTheKeyboardIsTheResult) {
    RecordingMessageBox box;
    TScanForm form(box, nullptr, addresses({}));
    form.show();
    addRow(form, "10.0.0.1", "ALPHA", "WG");
    addRow(form, "10.0.0.2", "BETA", "WG");
    click(form, rowCentre(form, 0));
    form.ListView1()->setCurrentItem(form.ListView1()->topLevelItem(1));
    EXPECT_EQ(form.SelectedComputer(), "ALPHA"); // only clicks and OK take the result
    form.OKBtn()->click();
    EXPECT_EQ(form.result(), QDialog::Accepted);
    EXPECT_EQ(form.SelectedComputer(), "BETA");
    EXPECT_EQ(form.SelectedIP(), "10.0.0.2");
}

TEST(ScanForm, DestroyingTheDialogStopsItsScan) {
    RecordingMessageBox box;
    auto form = std::make_unique<TScanForm>(box, nullptr, addresses({"10.1.2.3"}));
    keepScansLocal(*form);
    form->Nbt1().setTimeOut(600000);
    form->show();
    ASSERT_TRUE(form->Nbt1().Active());
    form.reset();
    spinUntil([] { return false; }, 50);
}
