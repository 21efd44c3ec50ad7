# Sourced by the engine's end-to-end test and benchmark, after
# tests/lib/common.sh (with sandbox_check done) and lab/topology.sh: brings up
# the lab network with its probes and VPN server, installs the real helper
# (set-user-id root) and the lab core at their installed paths for this mount
# namespace alone, and writes the client configuration to $ENGINE_LAB_CONFIG.

DRIVER=$QUON_BUILD_DIR/tests/engine/engine_driver
for f in "$DRIVER" "$QUON_BUNDLE_DIR/pathwarden" "$QUON_BUNDLE_DIR/xray"; do
  [ -x "$f" ] || fail "not built: $f"
done

lab_topology_up
lab_start_probes
lab_start_vpn_server

mount -t tmpfs -o mode=755 tmpfs /usr/local
mount -t tmpfs -o mode=755 tmpfs /opt
lab_on_exit umount -l /opt
lab_on_exit umount -l /usr/local
mkdir -p /usr/local/libexec/quon_vpn /opt/quon_vpn
install -o root -g root -m 4755 "$QUON_BUNDLE_DIR/pathwarden" \
  /usr/local/libexec/quon_vpn/pathwarden
install -m 755 "$QUON_BUNDLE_DIR/xray" /opt/quon_vpn/xray

ENGINE_LAB_CONFIG=$LAB_WORK/client.json
lab_write_client_config "$ENGINE_LAB_CONFIG" "$LAB_VPN_HOST"
