#!/usr/bin/env bash
# Installs the benchmark's tools from Debian. Safe to run again.
# The packages' own system services are stopped and disabled afterwards: the
# benchmark starts its own instances with its own configuration, and nothing
# of it should stay running or start at boot.
set -euo pipefail

packages=(nginx wrk apache2-utils tinyproxy squid curl openssl python3
          dante-server microsocks rinetd socat gcc libc6-dev
          dnsmasq-base unbound dnsperf bind9-dnsutils)
services=(nginx squid tinyproxy danted rinetd unbound)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
    export DEBIAN_FRONTEND=noninteractive
    # policy-rc.d forbids the maintainer scripts from starting the services at all.
    policy=/usr/sbin/policy-rc.d
    own_policy=0
    if [[ ! -e $policy ]]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy"
        chmod +x "$policy"
        own_policy=1
    fi
    trap '[[ $own_policy == 1 ]] && rm -f "$policy"' EXIT
    if ! apt-get install -y --no-install-recommends "${missing[@]}"; then
        apt-get update
        apt-get install -y --no-install-recommends "${missing[@]}"
    fi
fi

# Stop and disable the Debian units, whichever init runs (they may have been
# started by an earlier install that had no policy-rc.d).
if [[ -d /run/systemd/system ]]; then
    systemctl disable --now "${services[@]}" >/dev/null 2>&1 || true
else
    for s in "${services[@]}"; do
        if [[ -x /etc/init.d/$s ]]; then
            service "$s" stop >/dev/null 2>&1 || true
            update-rc.d "$s" disable >/dev/null 2>&1 || true
        fi
    done
fi
