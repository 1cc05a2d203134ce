// The publisher's queue: records and the messages about them, in the order
// they were made, with the window of messages sent and not yet acknowledged.
// No library and no thread here: the client drives it under its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

struct Polozka_fronty {
  std::string tema, obsah;   // a record's topic stays empty until it is first sent
  bool zaznam = true;        // a record (counted), else discovery or availability
  bool zachovat = true;      // retained
  int cislo = -1;            // the scale the message is about, -1 none
  long long cas = 0;         // a record's time, seconds since the epoch
  bool jen_bez_konfigurace = false;  // discovery sent only where none is retained
  // Kept by the queue.
  std::uint64_t poradi = 0;
  int mid = 0;               // message id while sent and unacknowledged
  bool odeslano = false;
  bool potvrzeno = false;
};

class Fronta_mqtt {
 public:
  Fronta_mqtt(std::size_t mez, int okno) : m_mez(mez), m_okno(okno) {}

  // Appends a message. Past the bound the oldest record goes, counted as
  // dropped. Any other message replaces one on its topic not yet sent.
  void vloz(Polozka_fronty p);
  bool plna() const { return m_fronta.size() >= m_mez; }
  bool prazdna() const { return m_fronta.empty(); }

  // The oldest message not yet sent, while the window has room.
  Polozka_fronty* dalsi();
  // The message `poradi` went out under the message id `mid`.
  void odeslano(std::uint64_t poradi, int mid);
  // The broker acknowledged `mid`; true when messages left the queue.
  bool potvrzeno(int mid);
  // The library refused the message `poradi` as malformed: it can never go,
  // so it is dropped and counted instead of being tried for ever.
  void odmitnuto(std::uint64_t poradi);
  // The message `poradi` is not to go after all.
  void vynech(std::uint64_t poradi);
  // The connection is gone: whatever was sent and not acknowledged goes
  // again, in its place, on the next one.
  void vrat_neodeslane();

  std::uint64_t prijato() const { return m_prijato; }      // records queued
  std::uint64_t potvrzeno_zaznamu() const { return m_potvrzeno; }
  std::uint64_t zahozeno() const { return m_zahozeno; }    // dropped past the bound
  std::uint64_t odmitnuto_zaznamu() const { return m_odmitnuto; }
  std::size_t cekajicich_zaznamu() const;                  // queued or in flight
  std::size_t v_letu() const;

 private:
  std::deque<Polozka_fronty>::iterator najdi(std::uint64_t poradi);

  std::deque<Polozka_fronty> m_fronta;
  std::size_t m_mez;
  int m_okno;
  std::uint64_t m_poradi = 0, m_prijato = 0, m_potvrzeno = 0, m_zahozeno = 0, m_odmitnuto = 0;
};
