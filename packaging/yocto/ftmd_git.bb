SUMMARY = "Factory test-mode daemon"
DESCRIPTION = "Answers the production test PC on the USB gadget serial port /dev/ttyGS0: \
identity provisioning, hardware self-tests, activation file handover. Started by \
systemd only on a unit in factory mode (kernel command line 'ftm' or \
/etc/ftmd/factory-mode)."
HOMEPAGE = "https://git.example.com/factory/ftmd"
SECTION = "console/utils"
# Set to the project's licence (and LIC_FILES_CHKSUM) before shipping the layer.
LICENSE = "CLOSED"

SRC_URI = "git://git.example.com/factory/ftmd.git;protocol=https;branch=main"
# Pin the release commit in the BSP layer (e.g. in a bbappend); AUTOREV only
# for development builds.
SRCREV = "${AUTOREV}"
PV = "1.0+git${SRCPV}"
S = "${WORKDIR}/git"

inherit cmake systemd

DEPENDS = "openssl"

# No tests or warnings-as-errors in the image build; the unit goes where this
# distro keeps system units.
EXTRA_OECMAKE = " \
    -DFTMD_BUILD_TESTS=OFF \
    -DFTMD_WERROR=OFF \
    -DFTMD_SYSTEMD_UNITDIR=${systemd_system_unitdir} \
"

SYSTEMD_SERVICE:${PN} = "ftmd.service"
SYSTEMD_AUTO_ENABLE:${PN} = "enable"

# fw_printenv / fw_setenv (libubootenv-bin since Yocto 3.1; older layers ship
# them as u-boot-fw-utils). The shell tools it runs (sh, grep, awk, cp, rm)
# are in every image, from busybox or coreutils.
RDEPENDS:${PN} = "libubootenv-bin"
