#include "platform/updates/UpdateFeed.h"

#include "platform/updates/UpdateError.h"
#include "platform/updates/Version.h"

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <QXmlStreamReader>

namespace updates {
namespace {

UpdateError malformed(const QString& detail) {
    return UpdateError(UpdateError::Kind::malformedFeed,
                       QStringLiteral("The update feed could not be read: %1").arg(detail).toStdString());
}

// Only web links leave the feed: a file, script or custom-scheme link must never reach the desktop's
// URL handler from a document fetched over the network.
std::string webLink(const QString& text, const QUrl& base) {
    // An empty reference would resolve to the feed itself.
    if (text.trimmed().isEmpty()) {
        return {};
    }
    const QUrl link = base.resolved(QUrl(text.trimmed(), QUrl::StrictMode));
    const QString scheme = link.scheme().toLower();
    if (!link.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
        link.host().isEmpty()) {
        return {};
    }
    return link.toString(QUrl::FullyEncoded).toStdString();
}

bool isOwnElement(const QXmlStreamReader& reader, QLatin1String name) {
    return reader.namespaceUri() == QLatin1String(feedNamespace.data(), qsizetype(feedNamespace.size())) &&
           reader.name() == name;
}

std::optional<UpdateItem> readItem(QXmlStreamReader& reader, const QUrl& base) {
    QString version;
    QString displayVersion;
    QString releaseNotes;
    QString download;
    while (reader.readNextStartElement()) {
        if (isOwnElement(reader, QLatin1String("version"))) {
            version = reader.readElementText().trimmed();
        } else if (isOwnElement(reader, QLatin1String("displayVersion"))) {
            displayVersion = reader.readElementText().trimmed();
        } else if (isOwnElement(reader, QLatin1String("releaseNotes"))) {
            releaseNotes = reader.readElementText();
        } else if (isOwnElement(reader, QLatin1String("download"))) {
            download = reader.readElementText();
        } else {
            reader.skipCurrentElement();
        }
    }
    UpdateItem item{version.toStdString(), displayVersion.toStdString(), {}, webLink(download, base)};
    if (!isVersion(item.version) || item.downloadURL.empty()) {
        return std::nullopt;
    }
    if (item.displayVersion.empty()) {
        item.displayVersion = item.version;
    }
    item.releaseNotesURL = webLink(releaseNotes, base);
    return item;
}

void readChannel(QXmlStreamReader& reader, const QUrl& base, std::vector<UpdateItem>& items) {
    while (reader.readNextStartElement()) {
        if (reader.namespaceUri().isEmpty() && reader.name() == QLatin1String("item")) {
            if (auto item = readItem(reader, base)) {
                items.push_back(std::move(*item));
            }
        } else {
            reader.skipCurrentElement();
        }
    }
}

} // namespace

std::vector<UpdateItem> parseUpdateFeed(std::string_view document, std::string_view feedURL) {
    const QUrl base(QString::fromUtf8(feedURL.data(), qsizetype(feedURL.size())));
    QXmlStreamReader reader(QByteArray::fromRawData(document.data(), qsizetype(document.size())));
    std::vector<UpdateItem> items;
    bool sawChannel = false;
    if (reader.readNextStartElement()) {
        if (!reader.namespaceUri().isEmpty() || reader.name() != QLatin1String("rss")) {
            throw malformed(QStringLiteral("the document is not an RSS feed"));
        }
        while (reader.readNextStartElement()) {
            if (reader.namespaceUri().isEmpty() && reader.name() == QLatin1String("channel") && !sawChannel) {
                sawChannel = true;
                readChannel(reader, base, items);
            } else {
                reader.skipCurrentElement();
            }
        }
    }
    // Read to the end, so that a feed cut off after its last item is still reported as damaged.
    while (!reader.atEnd()) {
        reader.readNext();
    }
    if (reader.hasError()) {
        throw malformed(QStringLiteral("line %1, column %2: %3")
                            .arg(reader.lineNumber())
                            .arg(reader.columnNumber())
                            .arg(reader.errorString()));
    }
    if (!sawChannel) {
        throw malformed(QStringLiteral("the feed has no channel"));
    }
    return items;
}

std::optional<UpdateItem> newestUpdate(const std::vector<UpdateItem>& items,
                                       std::string_view runningVersion) {
    const UpdateItem* newest = nullptr;
    for (const auto& item : items) {
        const auto aboveRunning = compareVersions(item.version, runningVersion);
        if (!aboveRunning || *aboveRunning <= 0) {
            continue;
        }
        if (newest == nullptr || *compareVersions(item.version, newest->version) > 0) {
            newest = &item;
        }
    }
    return newest != nullptr ? std::optional<UpdateItem>(*newest) : std::nullopt;
}

} // namespace updates
