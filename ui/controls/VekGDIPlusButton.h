#pragma once
// The image button the windows instantiate: the implementation as it is.
#include "ui/controls/CGDIPlusButtonImpl.h"

namespace vek {

class VekGDIPlusButton : public CGDIPlusButtonImpl {
public:
    using CGDIPlusButtonImpl::CGDIPlusButtonImpl;
};

} // namespace vek
