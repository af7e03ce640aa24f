# kelvorn without CMake, for SDKs whose packages build with make. It builds
# the agent that `cmake --install --strip` stages, from the same sources with
# the same flags (tests/install_check.sh compares the two builds' bytes):
#
#   make CROSS_COMPILE=mipsel-openwrt-linux- CFLAGS="..." LDFLAGS="..."
#   make install DESTDIR=/path/to/rootfs PREFIX=/usr     bin/kelvorn
#   make install-strip ...                               the same, stripped
#   make standin; make install-standin ...               the development
#                                                        stand-in libapmib.so
#
# It builds in the folder it runs in (make -f /path/to/kelvorn/Makefile) and
# writes nothing into the sources. CROSS_COMPILE prefixes g++ and strip
# unless CXX or STRIP is given; CXXFLAGS is CFLAGS unless given, for SDKs
# that pass only that; CPPFLAGS, LDFLAGS and LDLIBS go in as given, before
# ours. CC is not used: kelvorn is C++. The agent links -lapmib: the SDK's
# sysroot or LDFLAGS (-L) find libapmib.so, or KELVORN_APMIB_DIR names its
# folder. The report options are those of the CMake build, checked alike.
# docs/cross-building.md says which flags the build adds and which it leaves.

KELVORN_REPORT_HOST ?= inventory.kelvorn.net
KELVORN_TLS_CA_FILE ?=
KELVORN_TLS_PINNED_KEYS ?=
KELVORN_CURL_MAX_TIME ?=
KELVORN_SAFE_REPLY ?= OFF
KELVORN_APMIB_DIR ?=
# Link-time optimisation; 0 for a compiler without its plugin.
KELVORN_LTO ?= 1

PREFIX ?= /usr/local
BINDIR ?= $(PREFIX)/bin
LIBDIR ?= $(PREFIX)/lib
ifeq ($(origin CXX),default)
CXX = $(CROSS_COMPILE)g++
endif
STRIP ?= $(CROSS_COMPILE)strip
CXXFLAGS ?= $(CFLAGS)

srcdir := $(patsubst %/,%,$(dir $(abspath $(lastword $(MAKEFILE_LIST)))))
SOURCES = agent/main.cc agent/agent.cc agent/console.cc store/wanmac.cc netif/iface.cc \
          report/report.cc
OBJECTS = $(SOURCES:%.cc=obj/%.o)

# What the compiler makes of the integrator's flags, and what it takes.
takes = $(shell $(CXX) $(1) -Werror -c -x c++ /dev/null -o /dev/null 2>/dev/null && echo y)
opt := $(if $(filter -O%,$(CPPFLAGS) $(CXXFLAGS)),,-Os -DNDEBUG)
macros := $(shell $(CXX) $(CPPFLAGS) $(CXXFLAGS) $(opt) -dM -E -x c++ /dev/null 2>/dev/null)
mips := $(filter __mips__,$(macros))
# Their word on each protection, for or against it, the last one winning:
# -Wl,-z,relro, -z relro and -zrelro alike.
comma := ,
words := $(subst -z ,-z,$(subst $(comma), ,$(CPPFLAGS) $(CXXFLAGS) $(LDFLAGS)))
said = $(lastword $(filter $(1) $(2),$(words)))

# The image's own flags: C runtime only, small (as cmake/flags.cmake).
compile := $(opt) -fno-exceptions -fno-rtti -ffunction-sections -fdata-sections \
  -Wall -Wextra -Wpedantic -Wconversion -Wshadow -Wformat=2 -Wformat-security
link := $(opt) -Wl,--as-needed -Wl,--gc-sections -Wl,-z,max-page-size=4096 \
  -Wl,-z,common-page-size=4096 -Wl,--build-id=none $(if $(mips),-Wl$(comma)--hash-style=sysv)
ifeq ($(call takes,-ffile-prefix-map=a=b),y)
compile += -ffile-prefix-map=$(srcdir)/=
endif
ifneq ($(KELVORN_LTO),0)
lto := $(if $(call takes,-flto=auto),-flto=auto,-flto) -fno-fat-lto-objects
compile += $(lto)
link += $(lto)
endif
# Hardening where their flags are silent (as cmake/hardening.cmake): PIE,
# _FORTIFY_SOURCE=2, BIND_NOW, and on all but MIPS RELRO and the stack
# protector.
ifeq ($(filter-out -pie,$(call said,-pie,-no-pie -fno-pie -fno-PIE)),)
pie := -fPIE
endif
ifeq ($(filter _FORTIFY_SOURCE -U_FORTIFY_SOURCE,$(macros) $(words)),)
compile += -D_FORTIFY_SOURCE=2
endif
ifeq ($(call said,-znow,-zlazy),)
link += -Wl,-z,now
endif
ifeq ($(call said,-zrelro,-znorelro),)
link += -Wl,-z,$(if $(mips),norelro,relro)
endif
ssp_words := -fstack-protector -fstack-protector-strong -fstack-protector-all \
  -fstack-protector-explicit -fno-stack-protector
ifeq ($(call said,$(ssp_words)),)
ifneq ($(mips),)
compile += -fno-stack-protector
else
compile += $(if $(call takes,-fstack-protector-strong),-fstack-protector-strong,-fstack-protector)
endif
endif

.PHONY: all standin install install-strip install-standin clean FORCE
all: kelvorn

# The report options, checked, as definitions every object sees; rewritten
# only when they change, so that a change rebuilds.
export KELVORN_REPORT_HOST KELVORN_TLS_CA_FILE KELVORN_TLS_PINNED_KEYS KELVORN_CURL_MAX_TIME \
  KELVORN_SAFE_REPLY
obj/report_options.h: FORCE
	@mkdir -p obj
	@sh $(srcdir)/scripts/report-options.sh --header "KELVORN_REPORT_HOST=$$KELVORN_REPORT_HOST" \
	  "KELVORN_TLS_CA_FILE=$$KELVORN_TLS_CA_FILE" \
	  "KELVORN_TLS_PINNED_KEYS=$$KELVORN_TLS_PINNED_KEYS" \
	  "KELVORN_CURL_MAX_TIME=$$KELVORN_CURL_MAX_TIME" \
	  "KELVORN_SAFE_REPLY=$$KELVORN_SAFE_REPLY" >$@.new
	@if cmp -s $@.new $@; then rm $@.new; else mv $@.new $@; fi

obj/%.o: $(srcdir)/%.cc obj/report_options.h
	@mkdir -p $(@D)
	$(CXX) $(CPPFLAGS) -include obj/report_options.h -I$(srcdir) $(CXXFLAGS) $(compile) $(pie) \
	  -std=c++11 -c $< -o $@

kelvorn: $(OBJECTS)
	$(CXX) $(CXXFLAGS) $(LDFLAGS) $(link) $(pie) $(if $(pie),-pie) $(OBJECTS) -o $@ \
	  $(if $(KELVORN_APMIB_DIR),-L$(KELVORN_APMIB_DIR)) -lapmib $(LDLIBS)

standin: libapmib.so
libapmib.so: $(srcdir)/platform/apmib/apmib_standin.cc
	$(CXX) $(CPPFLAGS) $(CXXFLAGS) $(compile) -fPIC -std=c++11 $(LDFLAGS) $(link) -shared \
	  -Wl,-soname,libapmib.so $< -o $@ $(LDLIBS)

install: kelvorn
	install -d $(DESTDIR)$(BINDIR)
	install -m 0755 kelvorn $(DESTDIR)$(BINDIR)/kelvorn
install-strip: install
	$(STRIP) $(DESTDIR)$(BINDIR)/kelvorn
# Never wanted in a firmware image: the router has the platform's own.
install-standin: libapmib.so
	install -d $(DESTDIR)$(LIBDIR)
	install -m 0755 libapmib.so $(DESTDIR)$(LIBDIR)/libapmib.so

clean:
	rm -rf obj kelvorn libapmib.so
