#include "app/onboarding/DesktopWallpaper.hpp"

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QProcess>
#include <QRegularExpression>
#include <QUrl>

namespace noctave::app::DesktopWallpaper {

namespace fs = std::filesystem;

namespace {

constexpr int kMaxWidth = 900;
constexpr int kMaxHeight = 600;

fs::path configHome() {
    const QByteArray xdg = qgetenv("XDG_CONFIG_HOME");
    if (!xdg.isEmpty()) {
        return fs::path(xdg.toStdString());
    }
    return fs::path(QDir::homePath().toStdString()) / ".config";
}

fs::path fromUri(QString text) {
    text = text.trimmed();
    if (text.startsWith('\'') && text.endsWith('\'') && text.size() >= 2) {
        text = text.mid(1, text.size() - 2);
    }
    if (text.startsWith(QStringLiteral("file:"))) {
        text = QUrl(text).toLocalFile();
    }
    return fs::path(text.toStdString());
}

// Plasma keeps the picture of each desktop as "Image=" in its applet configuration.
std::optional<fs::path> plasmaWallpaper() {
    QFile file(QString::fromStdString(
        (configHome() / "plasma-org.kde.plasma.desktop-appletsrc").string()));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return std::nullopt;
    }
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QStringLiteral("Image="))) {
            return fromUri(line.mid(6));
        }
    }
    return std::nullopt;
}

std::optional<fs::path> gnomeWallpaper() {
    // Only where a desktop session says it is one: a bare X server or a test has no settings
    // daemon to ask.
    const QString desktop = QString::fromUtf8(qgetenv("XDG_CURRENT_DESKTOP"));
    if (desktop.isEmpty() || desktop.contains(QStringLiteral("KDE"), Qt::CaseInsensitive)) {
        return std::nullopt;
    }
    QProcess gsettings;
    gsettings.start(QStringLiteral("gsettings"),
                    {QStringLiteral("get"), QStringLiteral("org.gnome.desktop.background"),
                     QStringLiteral("picture-uri")});
    if (!gsettings.waitForFinished(1000) || gsettings.exitStatus() != QProcess::NormalExit ||
        gsettings.exitCode() != 0) {
        gsettings.kill();
        gsettings.waitForFinished(100);
        return std::nullopt;
    }
    const fs::path path = fromUri(QString::fromUtf8(gsettings.readAllStandardOutput()));
    if (path.empty()) {
        return std::nullopt;
    }
    return path;
}

// A wallpaper package (a folder) holds its sizes under contents/images; take the largest.
fs::path resolvePackage(const fs::path& path) {
    std::error_code ec;
    if (!fs::is_directory(path, ec)) {
        return path;
    }
    fs::path best;
    std::uintmax_t bestSize = 0;
    for (const auto& entry : fs::directory_iterator(path / "contents" / "images", ec)) {
        const auto size = entry.file_size(ec);
        if (!ec && size > bestSize) {
            best = entry.path();
            bestSize = size;
        }
    }
    return best;
}

std::optional<std::vector<fs::path>>& candidatesOverride() {
    static std::optional<std::vector<fs::path>> files;
    return files;
}

}  // namespace

void setCandidates(std::optional<std::vector<fs::path>> files) {
    candidatesOverride() = std::move(files);
}

std::vector<fs::path> candidates() {
    if (candidatesOverride()) {
        return *candidatesOverride();
    }
    std::vector<fs::path> files;
    if (auto plasma = plasmaWallpaper()) {
        files.push_back(*plasma);
    }
    if (auto gnome = gnomeWallpaper()) {
        files.push_back(*gnome);
    }
    files.emplace_back("/usr/share/images/desktop-base/default");
    return files;
}

std::optional<QImage> loadFirst(const std::vector<fs::path>& files) {
    for (const fs::path& candidate : files) {
        const fs::path file = resolvePackage(candidate);
        if (file.empty()) {
            continue;
        }
        QImageReader reader(QString::fromStdString(file.string()));
        reader.setAutoTransform(true);
        const QSize size = reader.size();
        if (size.isValid() && (size.width() > kMaxWidth || size.height() > kMaxHeight)) {
            reader.setScaledSize(size.scaled(kMaxWidth, kMaxHeight, Qt::KeepAspectRatio));
        }
        QImage image = reader.read();
        if (!image.isNull() && image.width() > 0 && image.height() > 0) {
            if (image.width() > kMaxWidth || image.height() > kMaxHeight) {
                image = image.scaled(kMaxWidth, kMaxHeight, Qt::KeepAspectRatio,
                                     Qt::SmoothTransformation);
            }
            return image;
        }
    }
    return std::nullopt;
}

std::optional<QImage> load() {
    return loadFirst(candidates());
}

}  // namespace noctave::app::DesktopWallpaper
