#pragma once
// The computer chooser: lists the computers that answer a NetBIOS scan of the local /24 network
// and lets the user pick one. Created once at start-up; the first showing starts the scan.
#include <QDialog>
#include <QIcon>
#include <QString>
#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/scanner/Nbt.h"

class QPushButton;
class QTreeWidget;
class QFrame;

namespace norvale {
class IMessageBox;

// The host's IPv4 addresses as dotted texts, in the order the host lists them.
using LocalAddressSource = std::function<std::vector<std::string>()>;

// The addresses of the host name as the resolver gives them; when those are loopback only (a
// common /etc/hosts set-up), the addresses of the active network interfaces instead.
std::vector<std::string> hostIPv4Addresses();

// The network to scan, as the prefix "a.b.c." of the last address of the list; nothing when
// the list is empty or that address is loopback or not a dotted quad.
std::optional<std::string> scanPrefix(const std::vector<std::string>& addresses);
} // namespace norvale

class TScanForm : public QDialog {
    Q_OBJECT

public:
    explicit TScanForm(norvale::IMessageBox& messages, QWidget* parent = nullptr,
                       norvale::LocalAddressSource localAddresses = norvale::hostIPv4Addresses);
    // Stops a scan that may still be running.
    ~TScanForm() override;

    // The row last chosen (by a click, or accepted with OK); empty until then.
    QString SelectedComputer() const { return selectedComputer_; }
    QString SelectedIP() const { return selectedIP_; }
    // True until a scan has been started successfully.
    bool FirstShow() const { return firstShow_; }

    TNbt& Nbt1() { return *nbt1_; }
    QTreeWidget* ListView1() const { return listView1_; }
    QPushButton* OKBtn() const { return okBtn_; }
    QPushButton* CancelBtn() const { return cancelBtn_; }

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormShow();
    void ListView1Click();
    void OKBtnClick();
    void Nbt1Receive(const QString& nIP, const QString& nHostName, const QString& nUserName,
                     const QString& nGroupName, const QString& nMacAddr);

    norvale::IMessageBox& messages_;
    norvale::LocalAddressSource localAddresses_;

    QTreeWidget* listView1_;
    QFrame* bevel1_;
    QPushButton* okBtn_;
    QPushButton* cancelBtn_;
    TNbt* nbt1_;
    std::array<QIcon, 2> ilStatus_; // dark and lit screens

    bool firstShow_ = true;
    QString selectedComputer_;
    QString selectedIP_;
};
