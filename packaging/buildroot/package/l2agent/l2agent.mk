################################################################################
#
# l2agent
#
################################################################################

L2AGENT_VERSION = 1.3.0
L2AGENT_SITE = $(call qstrip,$(BR2_PACKAGE_L2AGENT_SITE))
L2AGENT_LICENSE = MIT
L2AGENT_LICENSE_FILES = LICENSE
L2AGENT_DEPENDENCIES = host-pkgconf qt5base libpcap
L2AGENT_CONF_OPTS = \
	-DL2_STATION=OFF \
	-DL2_TESTS=OFF \
	-DL2_BENCH=OFF \
	-DL2_WERROR=OFF \
	-DL2_SYSTEMD_UNITDIR=/usr/lib/systemd/system
L2AGENT_DEPENDENCIES += host-scdoc

ifeq ($(BR2_PACKAGE_HAS_UDEV),y)
L2AGENT_DEPENDENCIES += udev
L2AGENT_CONF_OPTS += -DL2_UDEV=ON
else
L2AGENT_CONF_OPTS += -DL2_UDEV=OFF
endif

ifeq ($(BR2_INIT_SYSTEMD),y)
L2AGENT_CONF_OPTS += -DL2_SYSTEMD=ON
else
L2AGENT_CONF_OPTS += -DL2_SYSTEMD=OFF
endif

# The template unit is installed by CMake; the instance for the interface is enabled here, as
# systemctl enable does (a preset cannot enable a template without DefaultInstance=).
define L2AGENT_INSTALL_INIT_SYSTEMD
	mkdir -p $(TARGET_DIR)/usr/lib/systemd/system/multi-user.target.wants
	ln -sf ../l2agent@.service \
		$(TARGET_DIR)/usr/lib/systemd/system/multi-user.target.wants/l2agent@$(call qstrip,$(BR2_PACKAGE_L2AGENT_INTERFACE)).service
endef

define L2AGENT_INSTALL_INIT_SYSV
	$(INSTALL) -D -m 0755 $(@D)/packaging/l2agent.init \
		$(TARGET_DIR)/etc/init.d/S50l2agent
	$(SED) 's/^L2AGENT_INTERFACES=.*/L2AGENT_INTERFACES="$(call qstrip,$(BR2_PACKAGE_L2AGENT_INTERFACE))"/' \
		$(TARGET_DIR)/etc/default/l2agent
endef

ifneq ($(call qstrip,$(BR2_PACKAGE_L2AGENT_KEY_FILE)),)
define L2AGENT_SET_KEY_FILE
	$(SED) 's|^L2AGENT_OPTIONS=.*|L2AGENT_OPTIONS="--board-address --key-file $(call qstrip,$(BR2_PACKAGE_L2AGENT_KEY_FILE))"|' \
		$(TARGET_DIR)/etc/default/l2agent
endef
L2AGENT_POST_INSTALL_TARGET_HOOKS += L2AGENT_SET_KEY_FILE
endif

$(eval $(cmake-package))
