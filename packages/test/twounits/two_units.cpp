// Two units; the second registers both classes.

#include "component.h"
#include "trace.h"

TEST_COMPONENT_CLASS(TTwoWidget)
TEST_COMPONENT_CLASS(TTwoGadget)

TRACED_UNIT(twounits, TwoFirst)
TRACED_UNIT(twounits, TwoSecond)

RTL_UNIT_REGISTER(TwoSecond) {
  rtl::RegisterComponents("Two", {TTwoWidget::StaticClass(), TTwoGadget::StaticClass()});
}
