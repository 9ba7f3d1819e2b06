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

// Sorted by symbol name.
constexpr std::array kCatalogue = {
    SymbolEntry{"accessibility", "preferences-desktop-accessibility-symbolic"},
    SymbolEntry{"airplane", "airplane-mode-symbolic"},
    SymbolEntry{"alarm", "alarm-symbolic"},
    SymbolEntry{"arrow.clockwise", "view-refresh-symbolic"},
    SymbolEntry{"arrow.down", "go-down-symbolic"},
    SymbolEntry{"arrow.left", "go-previous-symbolic"},
    SymbolEntry{"arrow.right", "go-next-symbolic"},
    SymbolEntry{"arrow.up", "go-up-symbolic"},
    SymbolEntry{"backward", "media-seek-backward-symbolic"},
    SymbolEntry{"backward.end", "media-skip-backward-symbolic"},
    SymbolEntry{"battery.100", "battery-full-symbolic"},
    SymbolEntry{"bell", "preferences-system-notifications-symbolic"},
    SymbolEntry{"bell.slash", "notifications-disabled-symbolic"},
    SymbolEntry{"bubble.left", "chat-message-new-symbolic"},
    SymbolEntry{"cable.connector", "network-wired-symbolic"},
    SymbolEntry{"camera", "camera-photo-symbolic"},
    SymbolEntry{"checkmark", "object-select-symbolic"},
    SymbolEntry{"checkmark.circle", "emblem-ok-symbolic"},
    SymbolEntry{"circle.dashed", "radio-symbolic"},
    SymbolEntry{"clock", "preferences-system-time-symbolic"},
    SymbolEntry{"desktopcomputer", "computer-symbolic"},
    SymbolEntry{"display", "video-display-symbolic"},
    SymbolEntry{"doc", "x-office-document-symbolic"},
    SymbolEntry{"doc.text", "x-office-document-symbolic"},
    SymbolEntry{"envelope", "mail-unread-symbolic"},
    SymbolEntry{"exclamationmark.triangle", "dialog-warning-symbolic"},
    SymbolEntry{"folder", "folder-symbolic"},
    SymbolEntry{"forward", "media-seek-forward-symbolic"},
    SymbolEntry{"forward.end", "media-skip-forward-symbolic"},
    SymbolEntry{"gear", "emblem-system-symbolic"},
    SymbolEntry{"gearshape", "emblem-system-symbolic"},
    SymbolEntry{"globe", "web-browser-symbolic"},
    SymbolEntry{"hand.draw", "list-drag-handle-symbolic"},
    SymbolEntry{"hand.raised", "emoji-people-symbolic"},
    SymbolEntry{"hand.raised.fingers.spread", "view-continuous-symbolic"},
    SymbolEntry{"hand.tap", "input-touchpad-symbolic"},
    SymbolEntry{"headphones", "audio-headphones-symbolic"},
    SymbolEntry{"house", "go-home-symbolic"},
    SymbolEntry{"info.circle", "dialog-information-symbolic"},
    SymbolEntry{"iphone", "phone-apple-iphone-symbolic"},
    SymbolEntry{"iphone.radiowaves.left.and.right", "phone-apple-iphone-symbolic"},
    SymbolEntry{"keyboard", "input-keyboard-symbolic"},
    SymbolEntry{"laptopcomputer", "computer-symbolic"},
    SymbolEntry{"lock", "system-lock-screen-symbolic"},
    SymbolEntry{"macbook.and.iphone", "computer-symbolic"},
    SymbolEntry{"magnifyingglass", "edit-find-symbolic"},
    SymbolEntry{"message", "chat-message-new-symbolic"},
    SymbolEntry{"mic", "audio-input-microphone-symbolic"},
    SymbolEntry{"mic.slash", "microphone-disabled-symbolic"},
    SymbolEntry{"minus", "list-remove-symbolic"},
    SymbolEntry{"moon", "weather-clear-night-symbolic"},
    SymbolEntry{"paperplane", "mail-send-symbolic"},
    SymbolEntry{"pause", "media-playback-pause-symbolic"},
    SymbolEntry{"person", "avatar-default-symbolic"},
    SymbolEntry{"person.2", "system-users-symbolic"},
    SymbolEntry{"person.3", "system-users-symbolic"},
    SymbolEntry{"phone", "call-start-symbolic"},
    SymbolEntry{"phone.down", "call-stop-symbolic"},
    SymbolEntry{"play", "media-playback-start-symbolic"},
    SymbolEntry{"playpause", "media-playback-start-symbolic"},
    SymbolEntry{"plus", "list-add-symbolic"},
    SymbolEntry{"record.circle", "media-record-symbolic"},
    SymbolEntry{"rectangle.dashed.badge.record", "applets-screenshooter-symbolic"},
    SymbolEntry{"rectangle.on.rectangle", "video-joined-displays-symbolic"},
    SymbolEntry{"speaker", "audio-speakers-symbolic"},
    SymbolEntry{"speaker.slash", "audio-volume-muted-symbolic"},
    SymbolEntry{"speaker.wave.1", "audio-volume-low-symbolic"},
    SymbolEntry{"speaker.wave.2", "audio-volume-medium-symbolic"},
    SymbolEntry{"speaker.wave.3", "audio-volume-high-symbolic"},
    SymbolEntry{"square.and.arrow.up", "send-to-symbolic"},
    SymbolEntry{"star", "starred-symbolic"},
    SymbolEntry{"stop", "media-playback-stop-symbolic"},
    SymbolEntry{"sun.max", "display-brightness-symbolic"},
    SymbolEntry{"terminal", "utilities-terminal-symbolic"},
    SymbolEntry{"trash", "user-trash-symbolic"},
    SymbolEntry{"video", "camera-video-symbolic"},
    SymbolEntry{"video.slash", "camera-disabled-symbolic"},
    SymbolEntry{"wifi", "network-wireless-symbolic"},
    SymbolEntry{"xmark", "window-close-symbolic"},
};

std::string_view lookUp(std::string_view symbol) {
  auto it = std::lower_bound(kCatalogue.begin(), kCatalogue.end(), symbol,
                             [](const SymbolEntry& e, std::string_view s) { return e.symbol < s; });
  return it != kCatalogue.end() && it->symbol == symbol ? it->icon : std::string_view();
}

// The name's first character, whole even when it takes several bytes or a surrogate pair.
QString firstCharacter(std::string_view symbol) {
  const QString text = QString::fromUtf8(symbol.data(), qsizetype(symbol.size()));
  return text.left(!text.isEmpty() && text.front().isHighSurrogate() ? 2 : 1);
}

QImage glyphMask(std::string_view symbol, int pixels) {
  QImage mask(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
  mask.fill(Qt::transparent);
  if (symbol.empty()) return mask;
  QPainter p(&mask);
  p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
  p.setFont(systemFont(&mask, pixels * 0.8, QFont::Bold));
  p.setPen(Qt::black);
  p.drawText(QRectF(0, 0, pixels, pixels), Qt::AlignCenter, firstCharacter(symbol).toUpper());
  return mask;
}

QImage iconMask(const std::string& file, int pixels) {
  QImageReader reader(QString::fromStdString(file));
  reader.setScaledSize(QSize(pixels, pixels));
  QImage image = reader.read();
  return image.isNull() ? image : image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

}  // namespace

std::span<const SymbolEntry> symbolCatalogue() {
  return kCatalogue;
}

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
