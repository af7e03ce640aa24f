// The two calls the agent makes into the router's configuration store, the
// "AP MIB", served by the platform's closed libapmib.so. Both return nonzero
// on success and 0 on failure.
#ifndef KELVORN_STORE_APMIB_H_
#define KELVORN_STORE_APMIB_H_

extern "C" {
// Readies the store for reads. Called once; the library owns its state until
// the process ends, and there is no matching close.
int apmib_init(void);
// Copies the value of item `id` to `value`. For the MAC items below that is a
// 6-byte address.
int apmib_get(int id, void *value);
}

// Item ids, as the store numbers them.
enum ApmibItem {
  MIB_WAN_MAC_ADDR = 100,
  MIB_HW_NIC1_ADDR = 202,
};

#endif  // KELVORN_STORE_APMIB_H_
