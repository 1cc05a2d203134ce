// The global error code and the hook the error report is made through.
#include "kom_chyba.h"

int g_chyba = 0;

namespace {
KomHlaseni m_hlaseni = nullptr;
}  // namespace

void kom_Nastav_hlaseni(KomHlaseni hlaseni) { m_hlaseni = hlaseni; }

void kom_Hlas_chybu(const char* jmeno) {
  if (m_hlaseni != nullptr) m_hlaseni(jmeno);
}
