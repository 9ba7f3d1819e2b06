#include "design/Symbols.h"

#include <QFont>
#include <QImageReader>
#include <QPaintDevice>
#include <QPainter>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "design/Painting.h"

namespace brindlet::design {

namespace {

struct Entry {
  std::string_view symbol;
  std::string_view icon;
};

// Sorted by symbol name.
constexpr std::array kCatalogue = {
    Entry{"accessibility", "preferences-desktop-accessibility-symbolic"},
    Entry{"airplane", "airplane-mode-symbolic"},
    Entry{"alarm", "alarm-symbolic"},
    Entry{"arrow.clockwise", "view-refresh-symbolic"},
    Entry{"arrow.down", "go-down-symbolic"},
    Entry{"arrow.left", "go-previous-symbolic"},
    Entry{"arrow.right", "go-next-symbolic"},
    Entry{"arrow.up", "go-up-symbolic"},
    Entry{"backward", "media-seek-backward-symbolic"},
    Entry{"backward.end", "media-skip-backward-symbolic"},
    Entry{"battery.100", "battery-full-symbolic"},
    Entry{"bell", "preferences-system-notifications-symbolic"},
    Entry{"bell.slash", "notifications-disabled-symbolic"},
    Entry{"bubble.left", "chat-message-new-symbolic"},
    Entry{"cable.connector", "network-wired-symbolic"},
    Entry{"camera", "camera-photo-symbolic"},
    Entry{"checkmark", "object-select-symbolic"},
    Entry{"checkmark.circle", "emblem-ok-symbolic"},
    Entry{"clock", "preferences-system-time-symbolic"},
    Entry{"desktopcomputer", "computer-symbolic"},
    Entry{"display", "video-display-symbolic"},
    Entry{"doc", "x-office-document-symbolic"},
    Entry{"doc.text", "x-office-document-symbolic"},
    Entry{"envelope", "mail-unread-symbolic"},
    Entry{"exclamationmark.triangle", "dialog-warning-symbolic"},
    Entry{"folder", "folder-symbolic"},
    Entry{"forward", "media-seek-forward-symbolic"},
    Entry{"forward.end", "media-skip-forward-symbolic"},
    Entry{"gear", "emblem-system-symbolic"},
    Entry{"gearshape", "emblem-system-symbolic"},
    Entry{"globe", "web-browser-symbolic"},
    Entry{"hand.raised", "emoji-people-symbolic"},
    Entry{"hand.tap", "input-touchpad-symbolic"},
    Entry{"headphones", "audio-headphones-symbolic"},
    Entry{"house", "go-home-symbolic"},
    Entry{"info.circle", "dialog-information-symbolic"},
    Entry{"iphone", "phone-apple-iphone-symbolic"},
    Entry{"iphone.radiowaves.left.and.right", "phone-apple-iphone-symbolic"},
    Entry{"keyboard", "input-keyboard-symbolic"},
    Entry{"laptopcomputer", "computer-symbolic"},
    Entry{"lock", "system-lock-screen-symbolic"},
    Entry{"macbook.and.iphone", "computer-symbolic"},
    Entry{"magnifyingglass", "edit-find-symbolic"},
    Entry{"message", "chat-message-new-symbolic"},
    Entry{"mic", "audio-input-microphone-symbolic"},
    Entry{"mic.slash", "microphone-disabled-symbolic"},
    Entry{"minus", "list-remove-symbolic"},
    Entry{"moon", "weather-clear-night-symbolic"},
    Entry{"paperplane", "mail-send-symbolic"},
    Entry{"pause", "media-playback-pause-symbolic"},
    Entry{"person", "avatar-default-symbolic"},
    Entry{"person.2", "system-users-symbolic"},
    Entry{"person.3", "system-users-symbolic"},
    Entry{"phone", "call-start-symbolic"},
    Entry{"phone.down", "call-stop-symbolic"},
    Entry{"play", "media-playback-start-symbolic"},
    Entry{"playpause", "media-playback-start-symbolic"},
    Entry{"plus", "list-add-symbolic"},
    Entry{"rectangle.dashed.badge.record", "applets-screenshooter-symbolic"},
    Entry{"rectangle.on.rectangle", "video-joined-displays-symbolic"},
    Entry{"record.circle", "media-record-symbolic"},
    Entry{"speaker", "audio-speakers-symbolic"},
    Entry{"speaker.slash", "audio-volume-muted-symbolic"},
    Entry{"speaker.wave.1", "audio-volume-low-symbolic"},
    Entry{"speaker.wave.2", "audio-volume-medium-symbolic"},
    Entry{"speaker.wave.3", "audio-volume-high-symbolic"},
    Entry{"square.and.arrow.up", "send-to-symbolic"},
    Entry{"star", "starred-symbolic"},
    Entry{"stop", "media-playback-stop-symbolic"},
    Entry{"sun.max", "display-brightness-symbolic"},
    Entry{"terminal", "utilities-terminal-symbolic"},
    Entry{"trash", "user-trash-symbolic"},
    Entry{"video", "camera-video-symbolic"},
    Entry{"video.slash", "camera-disabled-symbolic"},
    Entry{"wifi", "network-wireless-symbolic"},
    Entry{"xmark", "window-close-symbolic"},
};

std::string_view lookUp(std::string_view symbol) {
  auto it = std::lower_bound(kCatalogue.begin(), kCatalogue.end(), symbol,
                             [](const Entry& e, std::string_view s) { return e.symbol < s; });
  return it != kCatalogue.end() && it->symbol == symbol ? it->icon : std::string_view();
}

QImage glyphMask(std::string_view symbol, int pixels) {
  QImage mask(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
  mask.fill(Qt::transparent);
  if (symbol.empty()) return mask;
  QPainter p(&mask);
  p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
  p.setFont(systemFont(&mask, pixels * 0.8, QFont::Bold));
  p.setPen(Qt::black);
  p.drawText(QRectF(0, 0, pixels, pixels), Qt::AlignCenter,
             QString::fromUtf8(symbol.data(), 1).toUpper());
  return mask;
}

QImage iconMask(const std::string& file, int pixels) {
  QImageReader reader(QString::fromStdString(file));
  reader.setScaledSize(QSize(pixels, pixels));
  QImage image = reader.read();
  return image.isNull() ? image : image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

}  // namespace

std::string_view adwaitaIconFor(std::string_view symbol) {
  std::string_view icon = lookUp(symbol);
  constexpr std::string_view fill = ".fill";
  if (icon.empty() && symbol.ends_with(fill))
    icon = lookUp(symbol.substr(0, symbol.size() - fill.size()));
  return icon;
}

std::string adwaitaIconFile(std::string_view icon) {
  static const std::filesystem::path root = "/usr/share/icons/Adwaita/scalable";
  static const std::map<std::string, std::string, std::less<>> files = [] {
    std::map<std::string, std::string, std::less<>> found;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root, ignored))
      if (entry.path().extension() == ".svg") found[entry.path().stem().string()] = entry.path();
    return found;
  }();
  auto it = files.find(icon);
  return it == files.end() ? std::string() : it->second;
}

QImage symbolMask(std::string_view symbol, int pixels) {
  static std::mutex mutex;
  static std::map<std::pair<std::string, int>, QImage> cache;
  std::lock_guard lock(mutex);
  auto key = std::make_pair(std::string(symbol), pixels);
  if (auto it = cache.find(key); it != cache.end()) return it->second;
  QImage mask;
  if (std::string file = adwaitaIconFile(adwaitaIconFor(symbol)); !file.empty())
    mask = iconMask(file, pixels);
  if (mask.isNull()) mask = glyphMask(symbol, pixels);
  return cache.emplace(std::move(key), mask).first->second;
}

namespace {

void paintOne(QPainter& painter, std::string_view symbol, QPointF center, double size,
              const QBrush& brush) {
  const double ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
  const QTransform& world = painter.worldTransform();
  const double scale = ratio * std::sqrt(std::abs(world.determinant()));
  const int pixels = std::max(1, int(std::lround(size * scale)));
  QImage shape = symbolMask(symbol, pixels);
  // Colour the shape with the brush in the painter's own coordinates (gradients included).
  QImage tinted(shape.size(), QImage::Format_ARGB32_Premultiplied);
  tinted.fill(Qt::transparent);
  {
    QPainter p(&tinted);
    p.drawImage(0, 0, shape);
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.scale(pixels / size, pixels / size);
    p.translate(size / 2 - center.x(), size / 2 - center.y());
    p.fillRect(QRectF(center.x() - size / 2, center.y() - size / 2, size, size), brush);
  }
  painter.drawImage(QRectF(center.x() - size / 2, center.y() - size / 2, size, size), tinted);
}

}  // namespace

void paintSymbol(QPainter& painter, const SymbolFrame& frame, QPointF center, double size,
                 const QBrush& brush) {
  const double p = std::clamp(frame.progress, 0.0, 1.0);
  if (p >= 1 || frame.previous == frame.symbol)
    return paintOne(painter, frame.symbol, center, size, brush);
  auto scaled = [&](std::string_view symbol, double opacity, double scale) {
    painter.save();
    painter.setOpacity(painter.opacity() * opacity);
    painter.translate(center);
    painter.scale(scale, scale);
    painter.translate(-center);
    paintOne(painter, symbol, center, size, brush);
    painter.restore();
  };
  scaled(frame.previous, 1 - p, 1 - 0.4 * p);
  scaled(frame.symbol, p, 0.6 + 0.4 * p);
}

}  // namespace brindlet::design
