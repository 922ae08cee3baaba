#include "templates/TETemplateLibrary.h"

#include <QDir>
#include <QFileInfo>

#include "base/AppInfo.h"
#include "base/Log.h"
#include "core/WrenUtils.h"
#include "templates/TETemplateDocument.h"
#include "templates/TEUtils.h"

namespace {
const QString kSelectedTemplate = QStringLiteral("SELECTED_TEMPLATE");
const QString kSelectedTemplatePath = QStringLiteral("SELECTED_TEMPLATE_PATH");
}

TETemplateLibrary& TETemplateLibrary::sharedLibrary() {
    static TETemplateLibrary* library = new TETemplateLibrary();
    return *library;
}

QString TETemplateLibrary::shippedTemplatesFolder() {
    return QString::fromStdString(base::AppInfo::shared().resourcesDir()) + QStringLiteral("/Templates");
}

void TETemplateLibrary::installShippedTemplates() {
    const QString target = WrenUtils::getTemplatesFolderPath();
    WrenUtils::createDirectoryAtPath(target);
    WrenUtils::copyDirectoryFrom(shippedTemplatesFolder(), target);
    reloadTemplates();
}

void TETemplateLibrary::reloadTemplates() {
    const QString folder = WrenUtils::getTemplatesFolderPath();
    QList<TETemplateInfo> found;
    const auto entries = QDir(folder).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& entry : entries) {
        QString error;
        auto doc = TETemplateDocument::loadFromFolder(entry.absoluteFilePath(), &error);
        if (!doc) {
            spdlog::warn("TemplateLibrary: skipping {}", error.toStdString());
            continue;
        }
        found.append({doc->name, entry.fileName(), doc->folderPath, doc->previewPath(), doc->numberOfPhotos()});
    }
    spdlog::info("TemplateLibrary: {} templates in {}", found.size(), folder.toStdString());
    {
        std::lock_guard lock(mutex_);
        templates_ = found;
    }
    updateSelectedTemplateInfo();
}

void TETemplateLibrary::userDidChangedDataDirectory() {
    reloadTemplates();
}

QList<TETemplateInfo> TETemplateLibrary::templates() const {
    std::lock_guard lock(mutex_);
    return templates_;
}

void TETemplateLibrary::updateSelectedTemplateInfo() {
    const auto list = templates();
    const QString chosen = TEUtils::getUserSettingForKey(kSelectedTemplate).toString();
    const TETemplateInfo* pick = nullptr;
    for (const auto& t : list)
        if (t.folderName == chosen) pick = &t;
    if (!pick) {
        for (const auto& t : list)
            if (t.folderName == QLatin1String(kDefaultTemplate)) pick = &t;
    }
    if (!pick && !list.isEmpty()) pick = &list.first();
    if (!pick) {
        spdlog::warn("TemplateLibrary: no template to select");
        return;  // keep the stored choice; it may come back with its folder
    }
    if (pick->folderName != chosen) TEUtils::setUserSetting(pick->folderName, kSelectedTemplate);
    if (TEUtils::getUserSettingForKey(kSelectedTemplatePath).toString() != pick->path)
        TEUtils::setUserSetting(pick->path, kSelectedTemplatePath);
}

bool TETemplateLibrary::selectTemplate(const QString& folderName) {
    for (const auto& t : templates()) {
        if (t.folderName != folderName) continue;
        TEUtils::setUserSetting(t.folderName, kSelectedTemplate);
        TEUtils::setUserSetting(t.path, kSelectedTemplatePath);
        return true;
    }
    return false;
}

QString TETemplateLibrary::selectedTemplatePath() const {
    const QString chosen = TEUtils::getUserSettingForKey(kSelectedTemplate).toString();
    if (chosen.isEmpty()) return {};
    return WrenUtils::getTemplatesFolderPath() + QLatin1Char('/') + chosen;
}

std::shared_ptr<TETemplateDocument> TETemplateLibrary::loadSelectedTemplate(QString* error) const {
    const QString path = selectedTemplatePath();
    if (path.isEmpty()) {
        if (error) *error = QStringLiteral("No template is selected.");
        return nullptr;
    }
    return TETemplateDocument::loadFromFolder(path, error);
}
