include $(sort $(wildcard $(BR2_EXTERNAL_L2AGENT_PATH)/package/*/*.mk))
