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
# Give every make the same variables: a change of compiler, CROSS_COMPILE,
# flags or options rebuilds. It builds in the folder it runs in (make -f
# /path/to/kelvorn/Makefile) and writes nothing into the sources.
# CROSS_COMPILE prefixes g++ unless CXX is given; STRIP is the toolchain's
# own unless given. CXXFLAGS is CFLAGS unless given, for SDKs that pass only
# that. Our flags come first on every command line and CPPFLAGS, CXXFLAGS,
# LDFLAGS and LDLIBS after them, so that yours have the last word. CC is not
# used: kelvorn is C++. The agent links -lapmib: the SDK's sysroot or
# LDFLAGS (-L) find libapmib.so, or KELVORN_APMIB_DIR names its folder. The
# report options and switches are those of the CMake build, checked alike
# and taken as they are, never as make syntax.
# docs/cross-building.md says which flags the build adds.

KELVORN_REPORT_HOST ?= inventory.kelvorn.net
KELVORN_TLS_CA_FILE ?=
KELVORN_TLS_PINNED_KEYS ?=
KELVORN_CURL_MAX_TIME ?=
KELVORN_SAFE_REPLY ?= OFF
KELVORN_APMIB_DIR ?=
# Link-time optimisation; OFF for a compiler without its plugin.
KELVORN_LTO ?= ON
options := KELVORN_REPORT_HOST KELVORN_TLS_CA_FILE KELVORN_TLS_PINNED_KEYS \
  KELVORN_CURL_MAX_TIME KELVORN_SAFE_REPLY KELVORN_LTO
# make would expand them for every command's environment.
unexport $(options) KELVORN_APMIB_DIR

PREFIX ?= /usr/local
BINDIR ?= $(PREFIX)/bin
LIBDIR ?= $(PREFIX)/lib
ifeq ($(origin CXX),default)
CXX = $(CROSS_COMPILE)g++
endif
CXXFLAGS ?= $(CFLAGS)

srcdir := $(patsubst %/,%,$(dir $(abspath $(lastword $(MAKEFILE_LIST)))))
SOURCES = agent/main.cc agent/agent.cc agent/console.cc store/wanmac.cc netif/iface.cc \
          report/report.cc
OBJECTS = $(SOURCES:%.cc=obj/%.o)
# A shell word of any text.
quote = '$(subst ','\'',$(1))'
# NAME=VALUE of an option as given, its make syntax unexpanded, as one word.
given = $(call quote,$(1)=$(value $(1)))
check := sh $(call quote,$(srcdir)/scripts/report-options.sh)
report := sh $(call quote,$(srcdir)/scripts/binary-report.sh)
ifeq ($(origin STRIP),undefined)
STRIP := $(shell $(report) --program strip $(CXX))
endif
lto := $(shell $(check) --value $(call given,KELVORN_LTO))
ifeq ($(lto),)
$(error KELVORN_LTO: see above)
endif

# What the compiler takes, and what it makes of ours then theirs: MIPS, and
# whether optimising leaves _FORTIFY_SOURCE to us.
takes = $(shell $(CXX) $(1) -Werror -c -x c++ /dev/null -o /dev/null 2>/dev/null && echo $(1))
macros := $(shell $(CXX) -Os $(CPPFLAGS) $(CXXFLAGS) -dM -E -x c++ /dev/null 2>/dev/null)
mips := $(filter __mips__,$(macros))
comma := ,

# Ours, as cmake/flags.cmake has them: C runtime only, small, hardened (PIE,
# _FORTIFY_SOURCE=2 where optimising leaves it to us, BIND_NOW, and on all
# but MIPS RELRO and the stack protector).
compile := -Os -DNDEBUG -std=c++11 -fno-exceptions -fno-rtti -ffunction-sections \
  -fdata-sections -Wall -Wextra -Wpedantic -Wconversion -Wshadow -Wformat=2 -Wformat-security
link := -Os -Wl,--as-needed -Wl,--gc-sections -Wl,-z,max-page-size=4096 \
  -Wl,-z,common-page-size=4096 -Wl,--build-id=none $(if $(mips),-Wl$(comma)--hash-style=sysv)
ifeq ($(mips),)
compile += $(or $(call takes,-fstack-protector-strong),-fstack-protector)
link += -Wl,-z,relro
endif
link += -Wl,-z,now
ifeq ($(filter __OPTIMIZE__,$(macros)),__OPTIMIZE__)
compile += $(if $(filter _FORTIFY_SOURCE,$(macros)),,-D_FORTIFY_SOURCE=2)
endif
ifeq ($(lto),ON)
lto := $(or $(call takes,-flto=auto),-flto) $(call takes,-fno-fat-lto-objects)
compile += $(lto)
link += $(lto)
endif
compile += $(call takes,-ffile-prefix-map=$(srcdir)/=)

# Each command line, theirs after ours; the store's search path after
# theirs, as it has always been, and the stand-in -shared, as CMake has it.
compile_line = $(CXX) $(compile) -fPIE $(CPPFLAGS) -include obj/report_options.h -I$(srcdir) \
  $(CXXFLAGS)
link_line = $(CXX) $(link) -fPIE -pie $(CXXFLAGS) $(LDFLAGS) $(OBJECTS) -o kelvorn \
  $(if $(KELVORN_APMIB_DIR),-L$(call quote,$(KELVORN_APMIB_DIR))) -lapmib $(LDLIBS)
standin_line = $(CXX) $(compile) -fPIC $(link) $(CPPFLAGS) $(CXXFLAGS) $(LDFLAGS) -shared \
  -Wl,-soname,libapmib.so $(srcdir)/platform/apmib/apmib_standin.cc -o libapmib.so $(LDLIBS)

.PHONY: all standin install install-strip install-standin clean FORCE
all: kelvorn

# The command lines and the report options, each in a file rewritten only
# when it changes: what depends on one is rebuilt when it does.
obj/compile.cmd obj/link.cmd obj/standin.cmd: FORCE
	@mkdir -p obj
	@echo $(call quote,$($(basename $(@F))_line)) >$@.new
	@if cmp -s $@.new $@; then rm $@.new; else mv $@.new $@; fi
obj/report_options.h: FORCE
	@mkdir -p obj
	@$(check) --header $(foreach option,$(filter-out KELVORN_LTO,$(options)),$(call given,$(option))) >$@.new
	@if cmp -s $@.new $@; then rm $@.new; else mv $@.new $@; fi

obj/%.o: $(srcdir)/%.cc obj/report_options.h obj/compile.cmd
	@mkdir -p $(@D)
	$(compile_line) -c $< -o $@

kelvorn: $(OBJECTS) obj/link.cmd
	$(link_line)
	@$(report) kelvorn $(CXX)

standin: libapmib.so
libapmib.so: $(srcdir)/platform/apmib/apmib_standin.cc obj/standin.cmd
	$(standin_line)

install: kelvorn
	install -d $(call quote,$(DESTDIR)$(BINDIR))
	install -m 0755 kelvorn $(call quote,$(DESTDIR)$(BINDIR)/kelvorn)
# Stripped before it is staged: a strip that fails stages nothing.
install-strip: kelvorn
	$(STRIP) -o kelvorn.stripped kelvorn
	install -d $(call quote,$(DESTDIR)$(BINDIR))
	install -m 0755 kelvorn.stripped $(call quote,$(DESTDIR)$(BINDIR)/kelvorn)
# Never wanted in a firmware image: the router has the platform's own.
install-standin: libapmib.so
	install -d $(call quote,$(DESTDIR)$(LIBDIR))
	install -m 0755 libapmib.so $(call quote,$(DESTDIR)$(LIBDIR)/libapmib.so)

clean:
	rm -rf obj kelvorn kelvorn.stripped libapmib.so
