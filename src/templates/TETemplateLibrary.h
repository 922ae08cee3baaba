#pragma once
// The one template library: the shipped templates copied into the data
// folder's "templates", the list of templates found there, and the selected
// template (settings SELECTED_TEMPLATE, the folder name, and
// SELECTED_TEMPLATE_PATH, its full path).
#include <QList>
#include <QString>

#include <memory>
#include <mutex>

class TETemplateDocument;

struct TETemplateInfo {
    QString name;        // from template.xml
    QString folderName;  // the template's folder in "templates"
    QString path;
    QString previewPath;
    int numberOfPhotos = 0;
};

class TETemplateLibrary {
public:
    static TETemplateLibrary& sharedLibrary();

    // Copies into the templates folder each shipped template it lacks, then
    // lists the templates and settles the selection.
    void installShippedTemplates();
    // Reads the templates folder again; folders whose template.xml does not
    // load are left out (and logged).
    void reloadTemplates();
    // After the data folder moved: reloads the list from the new templates
    // folder and updates the selected template's settings.
    void userDidChangedDataDirectory();

    QList<TETemplateInfo> templates() const;
    // Stores the choice; false when no listed template has that folder name.
    bool selectTemplate(const QString& folderName);
    QString selectedTemplatePath() const;
    // Loads the selected template's document; null with `error` set when
    // there is none or it cannot be read.
    std::shared_ptr<TETemplateDocument> loadSelectedTemplate(QString* error) const;

    // The folder of templates shipped among the resources.
    static QString shippedTemplatesFolder();
    static constexpr const char* kDefaultTemplate = "Classic Strip";

private:
    TETemplateLibrary() = default;
    void updateSelectedTemplateInfo();

    mutable std::mutex mutex_;
    QList<TETemplateInfo> templates_;
};
