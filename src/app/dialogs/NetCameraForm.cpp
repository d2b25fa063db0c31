#include "app/dialogs/NetCameraForm.h"

#include "app/shell/DesktopServices.h"
#include "app/shell/Translator.h"
#include "capture/VideoFrame.h"
#include "platform/MessageBox.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

namespace norvale {

namespace {

constexpr std::chrono::seconds TestTimeout{8};

// The refusals the address check gives (core/NetCamera), for the catalogue.
[[maybe_unused]] constexpr const char* AddressRefusals[] = {
    N_("The address must begin with rtsp://, http:// or https://."),
    N_("The address names no computer."),
};

QString trimmed(const QLineEdit* e) {
    return e->text().trimmed();
}

} // namespace

TNetCameraForm::TNetCameraForm(QWidget* owner, DesktopServices* desktop, Prober prober)
    : QDialog(owner), desktop_(desktop), prober_(std::move(prober)) {
    if (!prober_)
        prober_ = [](const NetCameraConfig& c) { return probeNetworkCamera(c, TestTimeout); };
    setObjectName(QStringLiteral("NetCameraForm"));
    setWindowTitle(QStringLiteral("Network camera"));
    setModal(true);

    auto* layout = new QVBoxLayout(this);
    auto* fields = new QFormLayout;
    nameEdit_ = new QLineEdit(this);
    nameEdit_->setObjectName(QStringLiteral("NetNameEdit"));
    addressEdit_ = new QLineEdit(this);
    addressEdit_->setObjectName(QStringLiteral("NetAddressEdit"));
    addressEdit_->setPlaceholderText(QStringLiteral("rtsp://192.168.1.10:554/stream1"));
    addressEdit_->setMinimumWidth(320);
    userEdit_ = new QLineEdit(this);
    userEdit_->setObjectName(QStringLiteral("NetUserEdit"));
    passwordEdit_ = new QLineEdit(this);
    passwordEdit_->setObjectName(QStringLiteral("NetPasswordEdit"));
    passwordEdit_->setEchoMode(QLineEdit::Password);
    fields->addRow(QStringLiteral("Name"), nameEdit_);
    fields->addRow(QStringLiteral("Address"), addressEdit_);
    fields->addRow(QStringLiteral("User"), userEdit_);
    fields->addRow(QStringLiteral("Password"), passwordEdit_);
    layout->addLayout(fields);

    auto* test = new QHBoxLayout;
    testButton_ = new QPushButton(QStringLiteral("Test"), this);
    testButton_->setObjectName(QStringLiteral("NetTestButton"));
    testButton_->setAutoDefault(false);
    connect(testButton_, &QPushButton::clicked, this, [this] { TestClick(); });
    picture_ = new QLabel(this);
    picture_->setObjectName(QStringLiteral("NetPicture"));
    picture_->setFixedSize(160, 120);
    picture_->setAlignment(Qt::AlignCenter);
    picture_->setStyleSheet(QLatin1String("background: black;"));
    result_ = new QLabel(this);
    result_->setObjectName(QStringLiteral("NetTestResult"));
    result_->setWordWrap(true);
    result_->setTextFormat(Qt::PlainText);
    result_->setMinimumWidth(200);
    test->addWidget(testButton_, 0, Qt::AlignTop);
    test->addWidget(picture_);
    test->addWidget(result_, 1);
    layout->addLayout(test);

    auto* buttons = new QDialogButtonBox(this);
    auto* ok = buttons->addButton(QStringLiteral("&OK"), QDialogButtonBox::AcceptRole);
    ok->setObjectName(QStringLiteral("NetOKButton"));
    ok->setDefault(true);
    auto* cancel = buttons->addButton(QStringLiteral("&Cancel"), QDialogButtonBox::RejectRole);
    cancel->setObjectName(QStringLiteral("NetCancelButton"));
    connect(buttons, &QDialogButtonBox::accepted, this, &TNetCameraForm::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    Translator::translateComponent(this);
}

TNetCameraForm::~TNetCameraForm() {
    if (test_.joinable())
        test_.join();
}

void TNetCameraForm::SetCamera(const NetCameraConfig& camera) {
    nameEdit_->setText(QString::fromStdString(camera.name));
    addressEdit_->setText(QString::fromStdString(camera.url));
    userEdit_->setText(QString::fromStdString(camera.user));
    passwordEdit_->setText(QString::fromStdString(camera.password));
}

NetCameraConfig TNetCameraForm::Camera() const {
    NetCameraConfig c;
    c.name = trimmed(nameEdit_).toStdString();
    c.url = trimmed(addressEdit_).toStdString();
    c.user = trimmed(userEdit_).toStdString();
    c.password = passwordEdit_->text().toStdString();
    return c;
}

void TNetCameraForm::TestClick() {
    if (testing_)
        return;
    if (test_.joinable())
        test_.join();
    testing_ = true;
    testButton_->setEnabled(false);
    picture_->clear();
    result_->setText(Translator::tr(QStringLiteral("Connecting to the camera...")));
    // The window stays responsive while the camera is asked; the answer comes back to it.
    test_ = std::thread([this, camera = Camera()] {
        NetProbeResult result;
        try {
            result = prober_(camera);
        } catch (const std::exception& e) {
            result.problem = NetProbeResult::Problem::Other;
            result.reason = scrubCredentials(e.what(), {camera.password});
        }
        QMetaObject::invokeMethod(
            this, [this, result] { showResult(result); }, Qt::QueuedConnection);
    });
}

void TNetCameraForm::showResult(const NetProbeResult& result) {
    testing_ = false;
    testButton_->setEnabled(true);
    if (!result.ok()) {
        picture_->clear();
        result_->setText(Translator::tr(QString::fromStdString(result.reason)));
        emit testFinished(false);
        return;
    }
    if (result.picture) {
        const TVideoFrame& f = *result.picture;
        const QImage image(f.Data(), f.Width(), f.Height(), f.Stride(), QImage::Format_BGR888);
        picture_->setPixmap(QPixmap::fromImage(
            image.scaled(picture_->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation)));
    }
    QString codec = QString::fromStdString(result.codec);
    if (codec.isEmpty())
        codec = QLatin1String("?");
    result_->setText(Translator::tr(QStringLiteral("The camera sends %1 pictures of %2 x %3."))
                         .arg(codec)
                         .arg(result.width)
                         .arg(result.height));
    emit testFinished(true);
}

void TNetCameraForm::accept() {
    auto refuse = [this](const QString& text) {
        if (desktop_)
            desktop_->messages().show({this, text, Translator::tr(QStringLiteral("Error")),
                                       MessageIcon::Error, MessageButtons::Ok});
    };
    const NetCameraConfig c = Camera();
    std::string reason;
    if (netCameraScheme(c.url, &reason).empty()) {
        refuse(Translator::tr(QString::fromStdString(reason)));
        return;
    }
    if (c.name.empty()) {
        refuse(Translator::tr(QStringLiteral("Please enter a name for the camera!")));
        return;
    }
    QDialog::accept();
}

} // namespace norvale
