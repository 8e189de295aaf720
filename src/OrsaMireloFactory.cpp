#include "OrsaMireloImpl.h"

std::shared_ptr<IOrsaMirelo> OrsaMireloFactory::create() {
  return std::make_shared<OrsaMireloImpl>();
}
