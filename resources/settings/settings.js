// What the three settings pages share: the link to the host's "setup" object,
// the help links and a few helpers. Values are read with flag 0 and written
// with flag 1.
"use strict";

var setup = null;
var pluginName = "MAIL";
// Used when the plug-in keeps no help address of its own.
var helpBase = "https://www.vostrel.example/help/mail/settings?topic=";

// Every call on the host object answers through a callback; a promise reads
// better in the pages.
function call(name) {
    var args = Array.prototype.slice.call(arguments, 1);
    return new Promise(function (resolve) {
        args.push(resolve);
        setup[name].apply(setup, args);
    });
}

function byId(id) {
    return document.getElementById(id);
}

// The account lists come as id TAB address TAB TAB, one after the other.
function parseAccounts(text) {
    var fields = (text || "").split("\t");
    var accounts = [];
    for (var i = 0; i + 1 < fields.length; i += 3) {
        if (fields[i] !== "") {
            accounts.push({ id: fields[i], email: fields[i + 1] });
        }
    }
    return accounts;
}

function addOption(select, value, text) {
    var option = document.createElement("option");
    option.value = value;
    option.textContent = text;
    select.appendChild(option);
    return option;
}

function fillAccounts(select, accounts, current) {
    accounts.forEach(function (a) {
        addOption(select, a.id, a.email || a.id);
    });
    select.value = current;
    if (select.selectedIndex < 0 && select.options.length > 0) {
        select.selectedIndex = 0;
    }
}

// A switch the plug-in has a default for: unset (or empty) reads as that
// default, as the plug-in itself reads it, so that the page shows what is in force.
function readSwitch(key, byDefault) {
    return call("GetCfgStr", key, 0).then(function (text) {
        return text === "" ? byDefault : call("GetCfgBool", key, 0);
    });
}

// The Send To shortcuts and the mail-client registration are brought up to
// date by the plug-in when this mark moves.
function markChange() {
    return call("SetCfgStr", "SETUP_LAST_CHANGE", String(Date.now()), 1);
}

function openHelp(topic) {
    window.open(helpBase + topic, "help", "width=790,height=540");
}

function wireHelpLinks() {
    var links = document.querySelectorAll("a.help");
    for (var i = 0; i < links.length; i++) {
        links[i].addEventListener("click", function (event) {
            event.preventDefault();
            openHelp(this.getAttribute("data-topic"));
        });
    }
}

// Polls ask(), first after firstMs and then every everyMs, until it answers
// true. Only one poll runs per page: a second request restarts it.
var pollTimer = null;
function poll(firstMs, everyMs, ask) {
    if (pollTimer !== null) {
        clearTimeout(pollTimer);
    }
    var step = function () {
        ask().then(function (done) {
            pollTimer = done ? null : setTimeout(step, everyMs);
        });
    };
    pollTimer = setTimeout(step, firstMs);
}

// Connects to the host, names the plug-in, then runs the page's own start.
// body[data-ready] tells that the page shows the stored values.
function startPage(fill) {
    new QWebChannel(qt.webChannelTransport, function (channel) {
        setup = channel.objects.setup;
        call("StartSettings", pluginName)
            .then(function () {
                return call("GetCfgStr", "SETTINGS_HELP", 1);
            })
            .then(function (base) {
                if (base) {
                    helpBase = base;
                }
                wireHelpLinks();
                return fill();
            })
            .then(function () {
                document.body.setAttribute("data-ready", "1");
            });
    });
}
