#pragma once
// The operator's green-screen window: whether green screen is on and for
// what, the key-colour way and key parameters of the photo and live-view
// modes, picking the key colour from the sample, the keyed preview, and the
// backgrounds with their overlays. Every change is stored at once.
#include <QImage>
#include <QPointer>
#include <QWidget>

#include <memory>
#include <vector>

#include "base/NotificationCenter.h"
#include "greenscreen/BackgroundImage.h"
#include "greenscreen/BackgroundImageSelectorPanel.h"
#include "greenscreen/GreenScreenFilterSettings.h"
#include "greenscreen/GreenScreenFilters.h"
#include "greenscreen/GreenScreenViews.h"

class CameraManager;
class CameraManagerDelegate;
class QButtonGroup;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QSlider;
class GreenScreenCameraBridge;

class GreenScreenWindowController : public QWidget,
                                    public KeyColorViewDelegate,
                                    public MergedImageViewDelegate,
                                    public BackgroundImageSelectorPanelDelegate {
    Q_OBJECT
public:
    explicit GreenScreenWindowController(QWidget* parent = nullptr);
    ~GreenScreenWindowController() override;

    // The camera whose live view the window shows; it makes the window the
    // manager's delegate (until the window closes).
    void setCameraManager(CameraManager* cameraManager);
    // The camera delegate of this window (frames reach the window on the
    // interface thread, the newest only).
    std::shared_ptr<CameraManagerDelegate> cameraDelegate() const;

    // Controls.
    void greenScreenRemovalTypeDidChanged(int row);
    void backgroundSelectionTypeDidChanged(int column);
    void imageSettingsTypeDidChanged(int column);
    void settingsModeLabelsDidClicked(const QString& identifier);  // "photoButton" or "liveViewButton"
    void browseForImage();
    void addBackgroundImagesButtonDidClicked();
    void mergeImageButtonDidClicked();
    double sensitivitySliderValue() const { return sensitivitySliderValue_; }
    double smoothnessSliderValue() const { return smoothnessSliderValue_; }
    void setSensitivitySliderValue(double value);
    void setSmoothnessSliderValue(double value);

    // Background list.
    void loadBackgroundsImages();
    void updateDefaults();
    void userDidAddedNewBGAndOverlayImages(const BackgroundImagePtr& background) override;
    void useDidChangedBackgroundImage(const BackgroundImagePtr& background);
    void removeBackgroundImage(const BackgroundImagePtr& background);

    // Sample photo.
    void newBackgroundImageLoadedFromURL(const QString& path);
    void loadStartupSampleImage();

    // Key colour.
    void didReceiveMouseDownOnKeyColorView() override;
    void keyCodeDidChanged(const QColor& color) override;
    void keyCodeDidChangedOnMouseMove(const QColor& color) override;

    // Live view (interface thread).
    void didReceivedLiveViewImage(const QImage& frame);
    void startLiveViewIfNeeded();
    void endLiveViewIfNeeded();

    void resetSliders();
    void updateReplacementControlsFromSettings(const GreenScreenFilterSettings& settings);
    void adjustSensitiivtyAndSmoothness();

    // State, for the application and tests.
    QString settingsMode() const { return settingsMode_; }
    const std::vector<BackgroundImagePtr>& backgroundImages() const { return backgroundImages_; }
    const BackgroundImagePtr& backgroundImagesInUse() const { return backgroundImagesInUse_; }
    const std::shared_ptr<GreenScreenFilters>& gpuImageFilters() const { return gpuImageFilters_; }
    const QImage& sampleImage() const { return sample_; }
    KeyColorView* keyColorBox() const { return keyColorBox_; }
    MergedImageView* mergedImage() const { return mergedImage_; }
    ImageView* firstImage() const { return firstImage_; }
    ImageView* secondImage() const { return secondImage_; }
    QButtonGroup* greenRemovalTypeRadioGroup() const { return greenRemovalTypeRadioGroup_; }
    QButtonGroup* imageSettingTypeRadioGroup() const { return imageSettingTypeRadioGroup_; }
    QButtonGroup* backgroundSelectionTypeRadioGroup() const { return backgroundSelectionTypeRadioGroup_; }
    QLabel* sensitivitySilderValueLabel() const { return sensitivitySilderValueLabel_; }
    QLabel* smoothnessSilderValueLabel() const { return smoothnessSilderValueLabel_; }
    QSlider* sensitivitySlighter() const { return sensitivitySlighter_; }
    QSlider* smoothnessSlighter() const { return smoothnessSlighter_; }
    QPushButton* selectImageOrLiveViewButton() const { return selectImageOrLiveViewButton_; }
    BackgroundImageSelectorPanel* backgroundAndOverlaySelectorPanel() const { return panel_; }
    std::vector<ThumbnailImageViewItem*> thumbnails() const { return thumbs_; }
    bool eyedropperActive() const { return eyedropper_; }

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void closeMe();
    void buildInterface();
    void refreshThumbnails();
    void selectThumbnail(const BackgroundImagePtr& background);
    void changeMouseCursor();
    void removeCursor();
    // Ends a key-colour pick that has not picked: the swatch shows the colour
    // it had, nothing is stored, and the next click on the preview picks nothing.
    void cancelKeyColourPick();
    void resetAndResumeLiveView();
    bool liveViewMode() const { return settingsMode_ == QLatin1String("LV"); }
    QString modeKey(const char* key) const;
    std::int64_t getValueFromDefaultsForGS(const char* key) const;
    void setValueInDefaults(const QString& key, std::int64_t value);
    void showSample(const QImage& image);
    void setSliderSilently(QSlider* slider, double value);
    void updateSliderLabels();

    QString tempDirPath_;
    QButtonGroup* imageSettingTypeRadioGroup_ = nullptr;
    QButtonGroup* greenRemovalTypeRadioGroup_ = nullptr;
    QButtonGroup* backgroundSelectionTypeRadioGroup_ = nullptr;
    QLabel* sensitivitySilderValueLabel_ = nullptr;
    QLabel* smoothnessSilderValueLabel_ = nullptr;
    std::shared_ptr<GreenScreenFilters> gpuImageFilters_;
    BackgroundImageSelectorPanel* panel_ = nullptr;
    BackgroundImagePtr backgroundImagesInUse_;
    bool eyedropper_ = false;
    QColor colourBeforePick_;
    QWidget* thumbsContent_ = nullptr;
    QHBoxLayout* thumbsLayout_ = nullptr;
    std::vector<ThumbnailImageViewItem*> thumbs_;
    QPushButton* photoSettingsLabel_ = nullptr;
    QPushButton* liveviewSettingsLabel_ = nullptr;
    QPushButton* selectImageOrLiveViewButton_ = nullptr;
    QString settingsMode_ = QStringLiteral("PHOTO");
    double sensitivitySliderValue_ = 0.1;
    double smoothnessSliderValue_ = 0.11;
    QSlider* smoothnessSlighter_ = nullptr;
    QSlider* sensitivitySlighter_ = nullptr;
    std::vector<BackgroundImagePtr> backgroundImages_;
    KeyColorView* keyColorBox_ = nullptr;
    ImageView* firstImage_ = nullptr;
    ImageView* secondImage_ = nullptr;
    MergedImageView* mergedImage_ = nullptr;
    QImage sample_;
    CameraManager* cameraManager_ = nullptr;
    std::shared_ptr<GreenScreenCameraBridge> bridge_;
    std::vector<base::NotificationCenter::ObserverId> observers_;
};
