#include "VarnelMenuBar/StatusIconRenderer.hpp"

#include "VarnelMenuBar/StatusIcon.hpp"

#include <QColor>
#include <QPainter>
#include <QPixmap>
#include <QRectF>
#include <cmath>

namespace varnel::StatusIconRenderer {
namespace {

QColor colour(const Rgba& rgba) {
    QColor result(rgba.red, rgba.green, rgba.blue);
    result.setAlphaF(static_cast<float>(rgba.alpha));
    return result;
}

QRectF rectangle(const Rect& rect) {
    return QRectF(rect.x, rect.y, rect.width, rect.height);
}

} // namespace

QImage image(const VarnelAgent::Status& status, qreal devicePixelRatio) {
    const int width = static_cast<int>(std::lround(StatusIcon::imageWidth * devicePixelRatio));
    const int height = static_cast<int>(std::lround(StatusIcon::imageHeight * devicePixelRatio));
    QImage picture(width, height, QImage::Format_ARGB32_Premultiplied);
    picture.setDevicePixelRatio(devicePixelRatio);
    picture.fill(Qt::transparent);

    const auto style = StatusIcon::style(status);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour(style.glyph));
    for (const auto& shape : StatusIcon::glyphShapes(StatusIcon::glyphRect)) {
        if (shape.cornerRadius > 0)
            painter.drawRoundedRect(rectangle(shape.rect), shape.cornerRadius, shape.cornerRadius);
        else
            painter.drawRect(rectangle(shape.rect));
    }
    if (style.dot) {
        painter.setCompositionMode(QPainter::CompositionMode_Clear);
        painter.setBrush(Qt::black);
        painter.drawEllipse(rectangle(StatusIcon::ringRect));
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        painter.setBrush(colour(*style.dot));
        painter.drawEllipse(rectangle(StatusIcon::dotRect));
    }
    return picture;
}

QIcon icon(const VarnelAgent::Status& status) {
    return QIcon(QPixmap::fromImage(image(status)));
}

} // namespace varnel::StatusIconRenderer
