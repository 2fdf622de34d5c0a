#include "e2efixture.h"

namespace e2e {

std::string TolvaneE2E::s_home;
std::unique_ptr<CXvfbServer> TolvaneE2E::s_pX;
std::unique_ptr<CPulseServer> TolvaneE2E::s_pPulse;

}  // namespace e2e
