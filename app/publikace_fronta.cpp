#include "publikace_fronta.h"

#include <algorithm>

void Fronta_mqtt::vloz(Polozka_fronty p) {
  if (!p.zaznam) {
    // Only the newest word on a topic matters: an older one not yet sent
    // gives way, so these stay a few per scale however long the broker is away.
    for (auto i = m_fronta.begin(); i != m_fronta.end();)
      i = !i->zaznam && !i->odeslano && i->tema == p.tema ? m_fronta.erase(i) : i + 1;
  }
  if (m_fronta.size() >= m_mez) {
    // Not one in flight: the broker may have it already, and its place in
    // the window is still taken.
    const auto stary = std::find_if(m_fronta.begin(), m_fronta.end(),
                                    [](const Polozka_fronty& q) { return q.zaznam && !q.odeslano; });
    if (stary != m_fronta.end()) {
      ++m_zahozeno;
      m_fronta.erase(stary);
    }
  }
  if (p.zaznam) ++m_prijato;
  p.poradi = ++m_poradi;
  p.mid = 0;
  p.odeslano = p.potvrzeno = false;
  m_fronta.push_back(std::move(p));
}

std::size_t Fronta_mqtt::v_letu() const {
  std::size_t n = 0;
  for (const Polozka_fronty& p : m_fronta) {
    if (!p.odeslano) break;
    if (!p.potvrzeno) ++n;
  }
  return n;
}

Polozka_fronty* Fronta_mqtt::dalsi() {
  int letu = 0;
  for (Polozka_fronty& p : m_fronta) {
    if (!p.odeslano) return letu < m_okno ? &p : nullptr;
    if (!p.potvrzeno) ++letu;
  }
  return nullptr;
}

// The queue is ordered by `poradi`, with gaps where messages were dropped.
std::deque<Polozka_fronty>::iterator Fronta_mqtt::najdi(std::uint64_t poradi) {
  const auto i = std::lower_bound(m_fronta.begin(), m_fronta.end(), poradi,
                                  [](const Polozka_fronty& p, std::uint64_t n) { return p.poradi < n; });
  return i != m_fronta.end() && i->poradi == poradi ? i : m_fronta.end();
}

void Fronta_mqtt::odeslano(std::uint64_t poradi, int mid) {
  const auto p = najdi(poradi);
  if (p == m_fronta.end()) return;
  p->odeslano = true;
  p->mid = mid;
}

bool Fronta_mqtt::potvrzeno(int mid) {
  for (Polozka_fronty& p : m_fronta) {
    if (!p.odeslano) break;
    if (p.mid == mid && !p.potvrzeno) {
      p.potvrzeno = true;
      break;
    }
  }
  bool uvolneno = false;
  while (!m_fronta.empty() && m_fronta.front().potvrzeno) {
    if (m_fronta.front().zaznam) ++m_potvrzeno;
    m_fronta.pop_front();
    uvolneno = true;
  }
  return uvolneno;
}

void Fronta_mqtt::odmitnuto(std::uint64_t poradi) {
  const auto p = najdi(poradi);
  if (p == m_fronta.end()) return;
  if (p->zaznam) ++m_odmitnuto;
  m_fronta.erase(p);
}

void Fronta_mqtt::vynech(std::uint64_t poradi) {
  const auto p = najdi(poradi);
  if (p != m_fronta.end()) m_fronta.erase(p);
}

void Fronta_mqtt::vrat_neodeslane() {
  for (Polozka_fronty& p : m_fronta) {
    if (!p.odeslano) break;
    if (!p.potvrzeno) {
      p.odeslano = false;
      p.mid = 0;
    }
  }
}

std::size_t Fronta_mqtt::cekajicich_zaznamu() const {
  std::size_t n = 0;
  for (const Polozka_fronty& p : m_fronta)
    if (p.zaznam) ++n;
  return n;
}
