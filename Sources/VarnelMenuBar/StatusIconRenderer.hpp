#pragma once

#include "VarnelKit/Agent/VarnelAgent.hpp"

#include <QIcon>
#include <QImage>

namespace varnel::StatusIconRenderer {

// The status item's 20 x 18 point image for a status, at the given pixels per point.
QImage image(const VarnelAgent::Status& status, qreal devicePixelRatio = 2.0);
QIcon icon(const VarnelAgent::Status& status);

} // namespace varnel::StatusIconRenderer
