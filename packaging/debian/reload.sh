# A running udev reads the instrument rules again and looks at the USB devices
# present, and a running systemd its units. Where neither runs (containers,
# chroots, image builds, an installation into another root) there is nothing to
# tell: they read the files when they start.
if [ -z "${DPKG_ROOT:-}" ]; then
  if [ -S /run/udev/control ] && command -v udevadm >/dev/null 2>&1; then
    udevadm control --reload-rules || true
    udevadm trigger --subsystem-match=usb --action=change || true
  fi
  if [ -d /run/systemd/system ]; then
    systemctl daemon-reload || true
  fi
fi
