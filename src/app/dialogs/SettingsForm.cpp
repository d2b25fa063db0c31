#include "app/dialogs/SettingsForm.h"

#include "app/camera/VideoWindow.h"
#include "app/dialogs/DeviceControlsForm.h"
#include "app/dialogs/FrameMotionPreview.h"
#include "app/dialogs/MotionPage.h"
#include "app/dialogs/NetCameraForm.h"
#include "app/dialogs/SpinEdit.h"
#include "app/shell/DesktopServices.h"
#include "app/shell/Translator.h"
#include "app/shell/WaitCursor.h"
#include "capture/EnumMediaType.h"
#include "capture/FilterGraph.h"
#include "capture/SysDevEnum.h"
#include "capture/VideoRenderer.h"
#include "platform/FolderChooser.h"
#include "platform/MessageBox.h"
#include "platform/ServedCameras.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <QTabWidget>
#include <QToolButton>
#include <QValidator>
#include <algorithm>
#include <limits>

namespace norvale {

namespace {

// applyNetCameras: select the last device listed (a camera just added).
constexpr int LastDevice = std::numeric_limits<int>::max();

// The longest file the field offers: a day.
constexpr int MaxSegmentMinutes = 24 * 60;

QLabel* label(QWidget* parent, const QString& text, int x, int y, int w, int h = 16) {
    auto* l = new QLabel(text, parent);
    l->setGeometry(x, y, w, h);
    return l;
}

QLineEdit* folderField(QWidget* parent, const char* name, int x, int y, int w) {
    auto* e = new QLineEdit(QLatin1String("C:\\"), parent);
    e->setObjectName(QLatin1String(name));
    e->setReadOnly(true);
    e->setStyleSheet(QLatin1String("QLineEdit { background: #d4d0c8; }"));
    e->setGeometry(x, y, w, 21);
    return e;
}

QToolButton* browseButton(QWidget* parent, const char* name, int x, int y) {
    auto* b = new QToolButton(parent);
    b->setObjectName(QLatin1String(name));
    b->setIcon(parent->style()->standardIcon(QStyle::SP_DirOpenIcon));
    b->setToolTip(QStringLiteral("Browse..."));
    b->setGeometry(x, y, 23, 22);
    return b;
}

// The name field. Typed forbidden characters are swallowed by the dialog's key filter; text that
// arrives any other way the user puts it in (pasted, dropped, from an input method) loses its
// forbidden characters here. Only what the user adds is filtered: a stored name set by the
// program keeps its characters, as it does when typed around.
class CameraNameEdit : public QLineEdit {
public:
    explicit CameraNameEdit(QWidget* parent);
    // True while the field handles an event of the user's (key, mouse, drop, menu).
    bool userEditing() const { return userEditing_; }
    // The text before the change being validated.
    const QString& accepted() const { return accepted_; }

protected:
    bool event(QEvent* e) override {
        const bool outer = userEditing_;
        userEditing_ = true;
        const bool handled = QLineEdit::event(e);
        userEditing_ = outer;
        return handled;
    }

private:
    QString accepted_;
    bool userEditing_ = false;
};

class CameraNameValidator : public QValidator {
public:
    explicit CameraNameValidator(CameraNameEdit* edit) : QValidator(edit), edit_(edit) {}
    State validate(QString& input, int& pos) const override {
        if (!edit_->userEditing())
            return Acceptable;
        // The inserted part is what lies between the longest common start and end of the text
        // before and after the change.
        const QString& before = edit_->accepted();
        qsizetype start = 0;
        while (start < before.size() && start < input.size() && before[start] == input[start])
            ++start;
        qsizetype end = 0;
        while (end < before.size() - start && end < input.size() - start &&
               before[before.size() - 1 - end] == input[input.size() - 1 - end])
            ++end;
        const QString& forbidden = TSettingsForm::ForbiddenNameCharacters();
        QString kept = input.left(start);
        for (qsizetype i = start; i < input.size() - end; ++i) {
            if (forbidden.contains(input[i])) {
                if (i < pos)
                    --pos;
                continue;
            }
            kept += input[i];
        }
        kept += input.right(end);
        input = kept;
        return Acceptable;
    }

private:
    CameraNameEdit* edit_;
};

CameraNameEdit::CameraNameEdit(QWidget* parent) : QLineEdit(parent) {
    connect(this, &QLineEdit::textChanged, this, [this](const QString& t) { accepted_ = t; });
    setValidator(new CameraNameValidator(this));
}

// The closed format list shows the whole entry: a text too long for the field loses its middle,
// so the size and bit depth at its end stay readable.
class FormatComboBox : public QComboBox {
public:
    using QComboBox::QComboBox;
    QString shownText() const {
        QStyleOptionComboBox opt;
        initStyleOption(&opt);
        const QRect field =
            style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, this);
        return fontMetrics().elidedText(currentText(), Qt::ElideMiddle, field.width());
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QStylePainter painter(this);
        QStyleOptionComboBox opt;
        initStyleOption(&opt);
        painter.drawComplexControl(QStyle::CC_ComboBox, opt);
        opt.currentText = shownText();
        painter.drawControl(QStyle::CE_ComboBoxLabel, opt);
    }
};

} // namespace

QString TSettingsForm::ShownFormatText() const {
    return static_cast<const FormatComboBox*>(cbbVideoFormats_)->shownText();
}

void TSettingsForm::SetSegmentSeconds(int seconds) {
    segmentSeconds_ = seconds;
    // To the nearest minute, but a length of seconds never shows as 0 (one file per recording).
    const long long rounded = seconds <= 0 ? 0 : std::max(1LL, (seconds + 30LL) / 60);
    shownSegmentMinutes_ = static_cast<int>(std::min<long long>(rounded, MaxSegmentMinutes));
    edtSegmentMinutes_->SetValue(shownSegmentMinutes_);
}

int TSettingsForm::SegmentSeconds() const {
    const int minutes = edtSegmentMinutes_->Value();
    return minutes == shownSegmentMinutes_ ? segmentSeconds_ : minutes * 60;
}

const QString& TSettingsForm::ForbiddenNameCharacters() {
    static const QString chars = QStringLiteral("\\/:*?\"'<>|");
    return chars;
}

TSettingsForm::TSettingsForm(QWidget* owner, SettingsFormServices services)
    : QDialog(owner), services_(std::move(services)) {
    if (services_.exeDir.isEmpty())
        services_.exeDir = QCoreApplication::applicationDirPath() + QLatin1Char('/');
    renderer_ = std::make_unique<TVideoRenderer>("SettingsVideoWindow");
    buildControls();
    Translator::translateComponent(this);
}

TSettingsForm::~TSettingsForm() {
    try {
        closeGraph();
    } catch (...) {
        // The graph is released with its camera all the same.
    }
    videoWindow_->SetFrameSource(nullptr);
}

void TSettingsForm::buildControls() {
    setObjectName(QStringLiteral("SettingsForm"));
    setWindowTitle(QStringLiteral("Settings"));
    setModal(true);
    setFixedSize(520, 484);

    auto* header = new QLabel(QStringLiteral("Camera Settings"), this);
    header->setObjectName(QStringLiteral("HeaderPanel"));
    header->setGeometry(0, 0, 520, 44);
    header->setIndent(16);
    header->setAutoFillBackground(true);
    header->setStyleSheet(
        QLatin1String("#HeaderPanel { background: white; font-weight: bold; font-size: 14px; }"));

    pcPreferences_ = new QTabWidget(this);
    pcPreferences_->setObjectName(QStringLiteral("pcPreferences"));
    pcPreferences_->setGeometry(8, 52, 504, 384);

    // Page "Video".
    tabCapture_ = new QWidget;
    tabCapture_->setObjectName(QStringLiteral("tabCapture"));
    auto* device = new QGroupBox(QStringLiteral("Camera Device"), tabCapture_);
    device->setGeometry(8, 8, 484, 340);
    videoWindow_ = new TVideoWindow(device);
    videoWindow_->setObjectName(QStringLiteral("VideoWindow"));
    videoWindow_->setGeometry(12, 24, 280, 210);
    videoWindow_->SetKeepAspectRatio(false);
    videoWindow_->setAutoFillBackground(true);
    videoWindow_->setStyleSheet(QLatin1String("background: black;"));
    videoWindow_->SetFrameSource(renderer_.get());
    renderer_->SetOnAboutToRun([w = videoWindow_] { w->GraphAboutToRun(); });

    label(device, QStringLiteral("Camera Name"), 304, 24, 170);
    nameEdit_ = new CameraNameEdit(device);
    nameEdit_->setObjectName(QStringLiteral("NameEdit"));
    nameEdit_->setGeometry(304, 42, 170, 21);
    nameEdit_->installEventFilter(this);
    label4_ = new QLabel(QStringLiteral("Note: Camera name cannot contain \n"
                                        "any of the following characters.\n"
                                        "    \\ / : * ? \" ' < > |"),
                         device);
    label4_->setObjectName(QStringLiteral("Label4"));
    label4_->setTextFormat(Qt::PlainText);
    label4_->setGeometry(300, 70, 180, 52);
    QFont noteFont = label4_->font();
    noteFont.setPixelSize(10);
    label4_->setFont(noteFont);
    label4_->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    label(device, QStringLiteral("Select Video Device"), 12, 246, 280);
    cbbVideoDevices_ = new QComboBox(device);
    cbbVideoDevices_->setObjectName(QStringLiteral("cbbVideoDevices"));
    cbbVideoDevices_->setEditable(false);
    cbbVideoDevices_->setGeometry(12, 264, 280, 22);
    connect(cbbVideoDevices_, &QComboBox::activated, this, [this] { cbbVideoDevicesChange(); });

    btnVideoProperty_ = new QPushButton(QStringLiteral("Configure..."), device);
    btnVideoProperty_->setObjectName(QStringLiteral("Btn_Video_Property"));
    btnVideoProperty_->setGeometry(304, 263, 82, 25);
    btnVideoProperty_->setAutoDefault(false);
    connect(btnVideoProperty_, &QPushButton::clicked, this, [this] { BtnVideoPropertyClick(); });
    btnPreview_ = new QPushButton(QStringLiteral("Preview"), device);
    btnPreview_->setObjectName(QStringLiteral("btnPreview"));
    btnPreview_->setGeometry(392, 263, 82, 25);
    btnPreview_->setAutoDefault(false);
    connect(btnPreview_, &QPushButton::clicked, this, [this] { btnPreviewClick(); });
    auto netButton = [device](const QString& text, const char* name, int x, int w) {
        auto* b = new QPushButton(text, device);
        b->setObjectName(QLatin1String(name));
        b->setGeometry(x, 298, w, 25);
        b->setAutoDefault(false);
        return b;
    };
    btnAddNet_ = netButton(QStringLiteral("Add network camera..."), "btnAddNetCamera", 12, 136);
    btnEditNet_ = netButton(QStringLiteral("Edit..."), "btnEditNetCamera", 152, 68);
    btnRemoveNet_ = netButton(QStringLiteral("Remove"), "btnRemoveNetCamera", 224, 68);
    btnFindOnLan_ = netButton(QStringLiteral("Find on LAN..."), "btnFindOnLan", 304, 170);
    connect(btnAddNet_, &QPushButton::clicked, this, [this] { btnAddNetCameraClick(); });
    connect(btnEditNet_, &QPushButton::clicked, this, [this] { btnEditNetCameraClick(); });
    connect(btnRemoveNet_, &QPushButton::clicked, this, [this] { btnRemoveNetCameraClick(); });
    connect(btnFindOnLan_, &QPushButton::clicked, this, [this] { btnFindOnLanClick(); });
    updateNetButtons();
    pcPreferences_->addTab(tabCapture_, QStringLiteral("Video"));

    // Page "Save to files".
    tabSaveToFile_ = new QWidget;
    tabSaveToFile_->setObjectName(QStringLiteral("tabSaveToFile"));
    auto* save = new QGroupBox(QStringLiteral("Save video to files"), tabSaveToFile_);
    save->setGeometry(8, 8, 484, 232);
    label(save, QStringLiteral("Save files to"), 12, 26, 300);
    edtSaveFilePath_ = folderField(save, "edtSaveFilePath", 12, 44, 428);
    btnBrowse_ = browseButton(save, "btnBrowse", 446, 43);
    connect(btnBrowse_, &QToolButton::clicked, this, [this] { btnBrowseClick(); });
    label(save, QStringLiteral("Select Video Format"), 12, 78, 300);
    cbbVideoFormats_ = new FormatComboBox(save);
    cbbVideoFormats_->view()->setTextElideMode(Qt::ElideMiddle);
    cbbVideoFormats_->setObjectName(QStringLiteral("cbbVideoFormats"));
    cbbVideoFormats_->setEditable(false);
    cbbVideoFormats_->setGeometry(12, 96, 458, 22);
    label(save, QStringLiteral("Compression"), 12, 132, 120);
    edtKBps_ = new TSpinEdit(save);
    edtKBps_->setObjectName(QStringLiteral("edtKBps"));
    edtKBps_->setGeometry(12, 150, 90, 22);
    edtKBps_->SetBounds(0, 0);
    edtKBps_->SetValue(1024);
    // The field takes any number and gives it back as it is; it says what a recording makes of
    // it (TASFWriter::MinBitRate and MaxBitRate).
    edtKBps_->setToolTip(QStringLiteral("Recordings use 56 to 100000 Kbps: a value outside this "
                                        "range records at the nearer limit."));
    label(save, QStringLiteral("Kbps (Kb per second)"), 110, 153, 200);
    label(save, QStringLiteral("New file every"), 12, 193, 92);
    edtSegmentMinutes_ = new TSpinEdit(save);
    edtSegmentMinutes_->setObjectName(QStringLiteral("edtSegmentMinutes"));
    edtSegmentMinutes_->setGeometry(106, 190, 70, 22);
    edtSegmentMinutes_->SetBounds(0, MaxSegmentMinutes);
    label(save, QString::fromUtf8(N_("minutes")), 184, 193, 200);
    SetSegmentSeconds(segmentSeconds_);
    // Shown only for a format that is a compressed stream of the camera's own.
    lblRecordFormat_ = label(save, QStringLiteral("Record"), 262, 193, 56);
    cbbRecordFormat_ = new QComboBox(save);
    cbbRecordFormat_->setObjectName(QStringLiteral("cbbRecordFormat"));
    cbbRecordFormat_->setGeometry(318, 190, 152, 22);
    cbbRecordFormat_->addItem(QStringLiteral("WMV, re-encoded"), 0);
    cbbRecordFormat_->addItem(QStringLiteral("Camera's own (MKV)"), 1);
    connect(cbbVideoFormats_, &QComboBox::currentIndexChanged, this,
            [this] { showRecordFormatChoice(); });
    showRecordFormatChoice();
    pcPreferences_->addTab(tabSaveToFile_, QStringLiteral("Save to files"));

    // Page "Snapshot".
    tabSnapshots_ = new QWidget;
    tabSnapshots_->setObjectName(QStringLiteral("tabSnapshots"));
    auto* general = new QGroupBox(QStringLiteral("General"), tabSnapshots_);
    general->setGeometry(8, 8, 484, 150);
    chkAutoSnapshot_ = new QCheckBox(QStringLiteral("Automatically take snapshots every"), general);
    chkAutoSnapshot_->setObjectName(QStringLiteral("chkAutoSnapshot"));
    chkAutoSnapshot_->setGeometry(12, 28, 250, 20);
    edtSnapshotSeconds_ = new TSpinEdit(general);
    edtSnapshotSeconds_->setObjectName(QStringLiteral("edtSnapshotSeconds"));
    edtSnapshotSeconds_->setGeometry(266, 27, 70, 22);
    edtSnapshotSeconds_->SetBounds(1, 3600);
    label(general, QStringLiteral("seconds."), 342, 30, 80);
    label(general, QStringLiteral("Save snapshots to"), 12, 66, 300);
    edtSnapshotPath_ = folderField(general, "edtSnapshotPath", 12, 84, 428);
    speedButton1_ = browseButton(general, "SpeedButton1", 446, 83);
    connect(speedButton1_, &QToolButton::clicked, this, [this] { SpeedButton1Click(); });
    pcPreferences_->addTab(tabSnapshots_, QStringLiteral("Snapshot"));

    // Page "Motion".
    tabMotion_ = new MotionPage;
    if (!services_.motionPreview) {
        ownMotionPreview_ = std::make_unique<FrameMotionPreview>(*renderer_);
        services_.motionPreview = ownMotionPreview_.get();
    }
    tabMotion_->setPreview(services_.motionPreview);
    tabMotion_->setPreviewCommand([this] { btnPreviewClick(); });
    pcPreferences_->addTab(tabMotion_, QStringLiteral("Motion"));

    okButton_ = new QPushButton(QStringLiteral("&OK"), this);
    okButton_->setObjectName(QStringLiteral("OKButton"));
    okButton_->setGeometry(344, 448, 80, 26);
    okButton_->setDefault(true);
    connect(okButton_, &QPushButton::clicked, this, &TSettingsForm::accept);
    cancelButton_ = new QPushButton(QStringLiteral("&Cancel"), this);
    cancelButton_->setObjectName(QStringLiteral("CancelButton"));
    cancelButton_->setGeometry(432, 448, 80, 26);
    cancelButton_->setAutoDefault(false);
    connect(cancelButton_, &QPushButton::clicked, this, &TSettingsForm::reject);
}

void TSettingsForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!open_ && !event->spontaneous()) {
        open_ = true;
        // Centred on the main window.
        if (QWidget* p = parentWidget())
            move(p->window()->geometry().center() - rect().center());
        opening();
    }
}

void TSettingsForm::opening() {
    pcPreferences_->setCurrentWidget(tabCapture_);
    if (services_.graph) {
        renderer_->SetFilterGraph(services_.graph);
        if (services_.sourceFilter)
            services_.sourceFilter->SetFilterGraph(services_.graph);
    }
    cbbVideoDevices_->clear();
    const int count = services_.devices ? services_.devices->DeviceCount() : 0;
    for (int i = 0; i < count; ++i)
        cbbVideoDevices_->addItem(
            QString::fromStdString(services_.devices->EntryAt(i).FriendlyName));
    cbbVideoDevices_->setCurrentIndex(deviceIndex_ >= 0 && deviceIndex_ < count ? deviceIndex_
                                                                                : -1);
    cbbVideoDevicesChange();
    if (formatIndex_ >= 0) {
        const int entry = cbbVideoFormats_->findData(formatIndex_);
        if (entry >= 0)
            cbbVideoFormats_->setCurrentIndex(entry);
    }
}

void TSettingsForm::cbbVideoDevicesChange() {
    if (services_.devices)
        services_.devices->SelectCategory(CLSID_VideoInputDeviceCategory);
    updateNetButtons();
    const int selected = cbbVideoDevices_->currentIndex();
    if (selected < 0 || !services_.sourceFilter || !services_.graph || !services_.formats)
        return;
    // A preview of the previous device ends here; the formats are those of the picked one.
    closeGraph();
    cbbVideoFormats_->clear();
    WaitCursor wait;
    TFilter& source = *services_.sourceFilter;
    TFilterGraph& graph = *services_.graph;
    // Takes effect at once and is not undone by Cancel: the camera binds its own device again
    // whenever it starts.
    source.BaseFilter().StoreMoniker(services_.devices->MonikerAt(selected));
    try {
        source.SetFilterGraph(&graph);
        graph.SetActive(true);
        TPinList pins(&source);
        // A device that cannot be opened has no pin: reported, and no format can be chosen.
        services_.formats->LoadFromPin(&pins.FirstPin());
        std::vector<std::string> texts;
        for (int i = 0; i < services_.formats->Count(); ++i)
            texts.push_back(services_.formats->DescriptionAt(i));
        for (const auto& [text, position] : ListedFormats(texts))
            cbbVideoFormats_->addItem(text, position);
        preselectFormat();
    } catch (const std::exception& e) {
        graph.SetActive(false);
        report(QString::fromUtf8(e.what()));
        return;
    }
    graph.SetActive(false);
}

std::vector<std::pair<QString, int>>
TSettingsForm::ListedFormats(const std::vector<std::string>& texts) {
    std::vector<std::pair<QString, int>> out;
    for (size_t i = 0; i < texts.size(); ++i)
        if (texts[i].find("VideoInfo2") == std::string::npos)
            out.emplace_back(QString::fromStdString(texts[i]), static_cast<int>(i));
    return out;
}

int TSettingsForm::PreselectedFormat(const QStringList& entries, const QString& preferred) {
    if (entries.isEmpty())
        return -1;
    if (!preferred.isEmpty())
        for (int i = 0; i < entries.size(); ++i)
            if (entries[i].compare(preferred, Qt::CaseInsensitive) == 0)
                return i;
    // The last entry that mentions either size wins; without one, the first.
    int choice = 0;
    for (int i = 0; i < entries.size(); ++i) {
        const QString& text = entries[i];
        if (text.contains(QLatin1String("352")) && text.contains(QLatin1String("288")))
            choice = i;
        if (text.contains(QLatin1String("320")) && text.contains(QLatin1String("240")))
            choice = i;
    }
    return choice;
}

void TSettingsForm::preselectFormat() {
    const QString device = cbbVideoDevices_->currentText();
    if (device.isEmpty() || cbbVideoFormats_->count() == 0)
        return;
    const QString preferred = QString::fromStdString(PreferredVideoFormat(
        (services_.exeDir + QStringLiteral("Enc.ini")).toStdString(), device.toStdString()));
    QStringList entries;
    for (int i = 0; i < cbbVideoFormats_->count(); ++i)
        entries << cbbVideoFormats_->itemText(i);
    cbbVideoFormats_->setCurrentIndex(PreselectedFormat(entries, preferred));
}

void TSettingsForm::closeGraph() {
    if (!services_.graph)
        return;
    services_.graph->StopGraph();
    services_.graph->PurgeGraph();
    services_.graph->SetActive(false);
    renderer_->SetFilterGraph(nullptr);
    // The renderer has let go of the last frame; the preview area shows it at once.
    videoWindow_->GraphStopped();
}

void TSettingsForm::btnPreviewClick() {
    // Without a device there is nothing to show.
    if (cbbVideoDevices_->currentIndex() < 0 || !services_.graph || !services_.sourceFilter)
        return;
    WaitCursor wait;
    TFilterGraph& graph = *services_.graph;
    TFilter& source = *services_.sourceFilter;
    try {
        closeGraph();
        renderer_->SetFilterGraph(&graph);
        source.SetFilterGraph(&graph);
        const int selected = cbbVideoDevices_->currentIndex();
        source.BaseFilter().StoreMoniker(services_.devices ? services_.devices->MonikerAt(selected)
                                                           : std::nullopt);
        graph.SetActive(true);
        // A device unplugged since the pick has no element; the run below reports it.
        try {
            graph.RenderStream(PIN_CATEGORY_PREVIEW, source, nullptr, *renderer_);
        } catch (const EIntfCastError&) {
        }
        graph.RunGraph();
    } catch (const std::exception& e) {
        report(QString::fromUtf8(e.what()));
    }
}

void TSettingsForm::BtnVideoPropertyClick() {
    if (cbbVideoDevices_->currentIndex() < 0 || !services_.graph || !services_.sourceFilter)
        return;
    TFilter& source = *services_.sourceFilter;
    try {
        source.SetFilterGraph(services_.graph);
        if (!services_.graph->Active())
            services_.graph->SetActive(true);
    } catch (const std::exception& e) {
        report(QString::fromUtf8(e.what()));
        return;
    }
    ShowFilterPropertyPages(this, &source);
}

void TSettingsForm::browse(QLineEdit* field) {
    if (!services_.desktop)
        return;
    QString folder = field->text();
    if (ChooseFolder(services_.desktop->folders(), this,
                     Translator::tr(QStringLiteral("Browse for Folder")), folder))
        field->setText(folder);
}

void TSettingsForm::btnBrowseClick() {
    browse(edtSaveFilePath_);
}

void TSettingsForm::SpeedButton1Click() {
    browse(edtSnapshotPath_);
}

int TSettingsForm::selectedNetCamera() const {
    const int selected = cbbVideoDevices_->currentIndex();
    const int count = cbbVideoDevices_->count();
    const int net = static_cast<int>(networkCameras().size());
    // The network cameras are listed last.
    return selected >= 0 && selected >= count - net ? selected - (count - net) : -1;
}

void TSettingsForm::updateNetButtons() {
    const bool net = selectedNetCamera() >= 0;
    btnEditNet_->setEnabled(net);
    btnRemoveNet_->setEnabled(net);
}

void TSettingsForm::applyNetCameras(std::vector<NetCameraConfig> cameras, int select) {
    setNetworkCameras(std::move(cameras));
    if (services_.devices)
        services_.devices->SelectCategory(CLSID_VideoInputDeviceCategory);
    cbbVideoDevices_->clear();
    const int count = services_.devices ? services_.devices->DeviceCount() : 0;
    for (int i = 0; i < count; ++i)
        cbbVideoDevices_->addItem(
            QString::fromStdString(services_.devices->EntryAt(i).FriendlyName));
    if (select == LastDevice)
        select = count - 1;
    cbbVideoDevices_->setCurrentIndex(select >= 0 && select < count ? select : -1);
    cbbVideoDevicesChange();
}

bool TSettingsForm::editNetCamera(NetCameraConfig& camera) {
    TNetCameraForm form(this, services_.desktop, services_.netProber);
    form.SetCamera(camera);
    const int result = services_.desktop ? services_.desktop->execDialog(form) : form.exec();
    if (result != QDialog::Accepted)
        return false;
    camera = form.Camera();
    return true;
}

void TSettingsForm::btnAddNetCameraClick() {
    NetCameraConfig camera;
    if (!editNetCamera(camera))
        return;
    std::vector<NetCameraConfig> cameras = networkCameras();
    cameras.push_back(std::move(camera));
    applyNetCameras(std::move(cameras), LastDevice);
}

void TSettingsForm::btnEditNetCameraClick() {
    const int n = selectedNetCamera();
    std::vector<NetCameraConfig> cameras = networkCameras();
    if (n < 0 || n >= static_cast<int>(cameras.size()))
        return;
    if (!editNetCamera(cameras[static_cast<size_t>(n)]))
        return;
    applyNetCameras(std::move(cameras), cbbVideoDevices_->currentIndex());
}

void TSettingsForm::btnRemoveNetCameraClick() {
    const int n = selectedNetCamera();
    std::vector<NetCameraConfig> cameras = networkCameras();
    if (n < 0 || n >= static_cast<int>(cameras.size()))
        return;
    if (services_.desktop &&
        services_.desktop->messages().show(
            {this,
             Translator::tr(QStringLiteral("Remove the network camera %1?"))
                 .arg(QString::fromStdString(cameras[static_cast<size_t>(n)].name)),
             Translator::tr(QStringLiteral("Remove")), MessageIcon::Question,
             MessageButtons::YesNo}) != MessageResult::Yes)
        return;
    cameras.erase(cameras.begin() + n);
    applyNetCameras(std::move(cameras), -1);
}

void TSettingsForm::btnFindOnLanClick() {
    if (!services_.chooseComputer)
        return;
    QString computer, address;
    if (!services_.chooseComputer(computer, address) || address.isEmpty())
        return;
    if (computer.isEmpty())
        computer = address;
    constexpr int Port = 8801;
    std::vector<int> numbers;
    {
        WaitCursor wait;
        numbers = services_.servedCameras ? services_.servedCameras(address)
                                          : servedCameras(address.toStdString(), Port, 1, 36,
                                                          std::chrono::milliseconds(2000));
    }
    // Cameras already in the list are not offered again.
    std::vector<NetCameraConfig> cameras = networkCameras();
    std::vector<NetCameraConfig> found;
    QStringList names;
    for (int number : numbers) {
        NetCameraConfig c;
        c.url = servedCameraUrl(address.toStdString(), Port, number);
        c.name =
            Translator::tr(QStringLiteral("%1 camera %2")).arg(computer).arg(number).toStdString();
        const bool known = std::any_of(cameras.begin(), cameras.end(), [&](const auto& k) {
            return netCameraIdentity(k.url) == netCameraIdentity(c.url);
        });
        if (known)
            continue;
        names << QString::fromStdString(c.name);
        found.push_back(std::move(c));
    }
    if (!services_.desktop)
        return;
    if (found.empty()) {
        services_.desktop->messages().show(
            {this,
             Translator::tr(QStringLiteral("%1 serves no camera that is not in the list already."))
                 .arg(computer),
             Translator::tr(QStringLiteral("Find on LAN")), MessageIcon::Information,
             MessageButtons::Ok});
        return;
    }
    if (services_.desktop->messages().show(
            {this,
             Translator::tr(QStringLiteral("Add these cameras as network cameras?")) +
                 QLatin1String("\n\n") + names.join(QLatin1Char('\n')),
             Translator::tr(QStringLiteral("Find on LAN")), MessageIcon::Question,
             MessageButtons::YesNo}) != MessageResult::Yes)
        return;
    const int first = cbbVideoDevices_->count();
    cameras.insert(cameras.end(), found.begin(), found.end());
    applyNetCameras(std::move(cameras), first);
}

void TSettingsForm::accept() {
    auto refuse = [this](const QString& text) {
        if (services_.desktop)
            services_.desktop->messages().show({this, Translator::tr(text),
                                                Translator::tr(QStringLiteral("Error")),
                                                MessageIcon::Error, MessageButtons::Ok});
    };
    if (cbbVideoDevices_->currentIndex() < 0) {
        refuse(QStringLiteral("Please select a video device!"));
        return;
    }
    if (cbbVideoFormats_->currentIndex() < 0) {
        refuse(QStringLiteral("Please select a video format!"));
        return;
    }
    deviceIndex_ = cbbVideoDevices_->currentIndex();
    formatIndex_ = cbbVideoFormats_->currentData().toInt();
    QDialog::accept();
}

void TSettingsForm::done(int result) {
    // However the dialog closes, the camera gets its graph back stopped, empty and inactive.
    try {
        closeGraph();
    } catch (const std::exception& e) {
        report(QString::fromUtf8(e.what()));
    }
    if (services_.sourceFilter)
        services_.sourceFilter->SetFilterGraph(nullptr);
    open_ = false;
    QDialog::done(result);
}

bool TSettingsForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == nameEdit_ && event->type() == QEvent::KeyPress) {
        const QString text = static_cast<QKeyEvent*>(event)->text();
        // Swallowed without a sound; control keys and every other character pass.
        if (text.size() == 1 && ForbiddenNameCharacters().contains(text.at(0)))
            return true;
    }
    return QDialog::eventFilter(watched, event);
}

void TSettingsForm::report(const QString& text) {
    if (services_.desktop)
        services_.desktop->reportError(text);
}

namespace {
// Texts taken back from the dialog lose leading and trailing blanks and control characters.
QString trimmedText(const QString& text) {
    qsizetype first = 0, last = text.size();
    while (first < last && text.at(first).unicode() <= ' ')
        ++first;
    while (last > first && text.at(last - 1).unicode() <= ' ')
        --last;
    return text.mid(first, last - first);
}
} // namespace

bool TSettingsForm::RecordFormatOffered() const {
    // A network camera's formats are the pictures it was decoded to; what it sends is compressed
    // (known once it was seen, by a Test too): offered unless it is known to be otherwise.
    if (const int net = selectedNetCamera(); net >= 0) {
        const std::vector<NetCameraConfig> cameras = networkCameras();
        if (net < static_cast<int>(cameras.size())) {
            const std::string sent =
                knownNetworkStream(netCameraIdentity(cameras[static_cast<std::size_t>(net)].url));
            return sent.empty() || carriesOwnStream(sent);
        }
    }
    const int position = cbbVideoFormats_->currentIndex() >= 0
                             ? cbbVideoFormats_->currentData().toInt()
                             : formatIndex_;
    if (!services_.formats || position < 0 || position >= services_.formats->Count())
        return false;
    const std::string& caps = services_.formats->ItemAt(position).Caps();
    return carriesOwnStream(std::string_view(caps).substr(0, caps.find(',')));
}

void TSettingsForm::showRecordFormatChoice() {
    const bool offered = RecordFormatOffered();
    lblRecordFormat_->setVisible(offered);
    cbbRecordFormat_->setVisible(offered);
}

void TSettingsForm::SetValues(const CameraSettings& values) {
    SetDeviceIndex(values.videoDeviceIndex);
    SetFormatIndex(values.videoFormatIndex);
    edtSaveFilePath_->setText(QString::fromStdString(values.saveFilePath));
    nameEdit_->setText(QString::fromStdString(values.name));
    edtKBps_->SetValue(values.bitRate);
    SetSegmentSeconds(values.segmentSeconds);
    cbbRecordFormat_->setCurrentIndex(values.recordFormat == 1 ? 1 : 0);
    chkAutoSnapshot_->setChecked(values.autoSnapshot);
    edtSnapshotSeconds_->SetValue(values.snapshotSeconds);
    edtSnapshotPath_->setText(QString::fromStdString(values.snapshotPath));
    tabMotion_->setValues(values);
}

CameraSettings TSettingsForm::Values(const CameraSettings& base) const {
    CameraSettings values = base;
    values.videoDeviceIndex = DeviceIndex();
    values.videoFormatIndex = FormatIndex();
    values.saveFilePath = trimmedText(edtSaveFilePath_->text()).toStdString();
    values.name = trimmedText(nameEdit_->text()).toStdString();
    values.bitRate = edtKBps_->Value();
    values.segmentSeconds = SegmentSeconds();
    // A choice not offered leaves the stored one as it is.
    if (RecordFormatOffered())
        values.recordFormat = cbbRecordFormat_->currentData().toInt();
    values.autoSnapshot = chkAutoSnapshot_->isChecked();
    values.snapshotSeconds = edtSnapshotSeconds_->Value();
    values.snapshotPath = trimmedText(edtSnapshotPath_->text()).toStdString();
    tabMotion_->values(values);
    return values;
}

} // namespace norvale
