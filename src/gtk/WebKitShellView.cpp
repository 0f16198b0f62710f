#include "WebKitShellView.hpp"

#include <libsoup/soup.h>

#include <filesystem>
#include <type_traits>

#include "GioBrowserOpener.hpp"
#include "I18n.hpp"
#include "Platform/AppPaths.hpp"
#include "Platform/PostIfAlive.hpp"
#include "ShellWebPolicy.hpp"
#include "WebBridge.hpp"
#include "WebSandbox.hpp"

namespace vhbr::gtk {

namespace {

const std::string kMessageHandler(WebBridge::kMessageHandlerName);

std::string xdgCacheDirectory() { return std::filesystem::path(g_get_user_cache_dir()) / "Velvetharbor"; }

// Sign-ins of the web app live in its local storage and cookies: they are kept on disk so that
// they survive a restart, in the app's own folders rather than in another browser's.
WebKitWebsiteDataManager* persistentDataManager() {
    const std::string data = appDataDirectory() / "WebKit";
    const std::string cache = std::filesystem::path(xdgCacheDirectory()) / "WebKit";
    auto* manager = webkit_website_data_manager_new("base-data-directory", data.c_str(),
                                                    "base-cache-directory", cache.c_str(), nullptr);
    webkit_cookie_manager_set_persistent_storage(webkit_website_data_manager_get_cookie_manager(manager),
                                                 (data + "/cookies.sqlite").c_str(),
                                                 WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
    return manager;
}

std::optional<nlohmann::json> toJSON(JSCValue* value) {
    if (!value || jsc_value_is_undefined(value)) return nlohmann::json();
    char* text = jsc_value_to_json(value, 0);
    if (!text) return std::nullopt;
    auto parsed = nlohmann::json::parse(text, nullptr, false);
    g_free(text);
    if (parsed.is_discarded()) return std::nullopt;
    return parsed;
}

GVariant* toVariant(const nlohmann::json& value) {
    if (value.is_string()) return g_variant_new_string(value.get<std::string>().c_str());
    if (value.is_boolean()) return g_variant_new_boolean(value.get<bool>());
    if (value.is_number_integer()) return g_variant_new_int64(value.get<std::int64_t>());
    if (value.is_number()) return g_variant_new_double(value.get<double>());
    return nullptr;
}

GVariant* toVariantDictionary(const nlohmann::json& arguments) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    if (arguments.is_object()) {
        for (const auto& [key, value] : arguments.items()) {
            if (auto* variant = toVariant(value))
                g_variant_builder_add(&builder, "{sv}", key.c_str(), variant);
        }
    }
    return g_variant_builder_end(&builder);
}

// Runs fn for a C callback, which no exception may leave: one that fn throws is logged with what
// was being done, and fallback (plain C calls that cannot throw) answers WebKit instead.
template <typename Fn, typename Fallback>
std::invoke_result_t<Fn> guarded(const char* what, Fn&& fn, Fallback&& fallback) noexcept {
    try {
        return fn();
    } catch (const std::exception& e) {
        g_warning("%s failed: %s", what, e.what());
    } catch (...) {
        g_warning("%s failed", what);
    }
    return fallback();
}

// As above, answering WebKit with a default value (nothing, FALSE, nullptr) after a failure.
template <typename Fn>
std::invoke_result_t<Fn> guarded(const char* what, Fn&& fn) noexcept {
    return guarded(what, std::forward<Fn>(fn), [] { return std::invoke_result_t<Fn>(); });
}

}  // namespace

// The C callbacks. Each runs its body through guarded(): no exception may cross into WebKit.
struct WebKitShellView::Callbacks {
    static gboolean decidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                 WebKitPolicyDecisionType type, gpointer data) {
        auto* self = static_cast<WebKitShellView*>(data);
        return guarded(
            "navigation policy",
            [&]() -> gboolean {
                if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION)
                    return self->decideAction(decision);
                if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return self->decideResponse(decision);
                return FALSE;  // new-window actions go on to "create", which answers them
            },
            [&]() -> gboolean {
                webkit_policy_decision_ignore(decision);
                return TRUE;
            });
    }

    static GtkWidget* create(WebKitWebView*, WebKitNavigationAction* action, gpointer data) {
        auto* self = static_cast<WebKitShellView*>(data);
        guarded("new window", [&] {
            auto* request = webkit_navigation_action_get_request(action);
            const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
            const auto target =
                ShellWebPolicy::newWindowTarget(uri ? std::optional<std::string>(uri) : std::nullopt);
            if (target) self->later([url = *target] { GioBrowserOpener::launch(url); });
        });
        return nullptr;  // never a second web view: the page stays where it is
    }

    static gboolean runFileChooser(WebKitWebView*, WebKitFileChooserRequest* request, gpointer data) {
        auto* self = static_cast<WebKitShellView*>(data);
        return guarded(
            "file chooser",
            [&]() -> gboolean {
                self->chooseFiles(request);
                return TRUE;
            },
            [&]() -> gboolean {
                // The page still gets its answer, as cancelled, and no chooser of WebKit's own.
                if (self->fileRequest_ == request)
                    self->answerFileRequest({});
                else
                    webkit_file_chooser_request_cancel(request);
                return TRUE;
            });
    }

    static void loadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
        auto* self = static_cast<WebKitShellView*>(data);
        guarded("load progress", [&] {
            if (event == WEBKIT_LOAD_COMMITTED) {
                const char* uri = webkit_web_view_get_uri(view);
                self->committedURL_ = uri && *uri ? std::optional<std::string>(uri) : std::nullopt;
            }
            if (event == WEBKIT_LOAD_STARTED) {
                self->failedLoad_ = false;
                self->stalled_ = false;
            }
            if (event == WEBKIT_LOAD_FINISHED)
                self->stallTimer_.disconnect();
            else
                self->watchProgress();
            // A failed load also reports "finished"; only a load without failure clears the error.
            if (event == WEBKIT_LOAD_FINISHED && !self->failedLoad_ && self->hooks_.loadFinished)
                self->later([self] { self->hooks_.loadFinished(); });
        });
    }

    static void progressed(WebKitWebView* view, GParamSpec*, gpointer data) {
        guarded("load progress", [&] {
            if (webkit_web_view_is_loading(view)) static_cast<WebKitShellView*>(data)->watchProgress();
        });
    }

    static gboolean loadFailed(WebKitWebView*, WebKitLoadEvent, gchar*, GError* error, gpointer data) {
        auto* self = static_cast<WebKitShellView*>(data);
        const auto noErrorPage = []() -> gboolean { return TRUE; };
        return guarded(
            "load failure",
            [&]() -> gboolean {
                self->failedLoad_ = true;
                self->stallTimer_.disconnect();
                NavigationFailure failure;
                failure.message = error && error->message ? error->message : "";
                if (self->stalled_) {
                    failure.message = _("The request timed out.");
                } else if (g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED)) {
                    failure.kind = NavigationFailure::Kind::cancelled;
                } else if (g_error_matches(error, WEBKIT_POLICY_ERROR,
                                           WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE)) {
                    failure.kind = NavigationFailure::Kind::interruptedByPolicy;
                }
                self->failLoad(std::move(failure));
                return noErrorPage();  // the error overlay reports it; no WebKit error page underneath
            },
            noErrorPage);
    }

    static void scriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
        auto* self = static_cast<WebKitShellView*>(data);
        guarded("script message", [&] {
            const auto envelope = toJSON(webkit_javascript_result_get_js_value(result));
            auto message = envelope ? WebBridge::unwrap(*envelope) : std::nullopt;
            if (!message || !self->hooks_.scriptMessage) return;
            self->later([self, message = std::move(*message)] {
                self->hooks_.scriptMessage(message.body, message.source);
            });
        });
    }

    static gboolean scriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer) {
        // Handled without showing anything: alert is dismissed, confirm and prompt answer
        // "cancel", and a page that asks before it is left lets the app navigate on.
        const auto handled = []() -> gboolean { return TRUE; };
        return guarded(
            "script dialog",
            [&]() -> gboolean {
                if (webkit_script_dialog_get_dialog_type(dialog) ==
                    WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM)
                    webkit_script_dialog_confirm_set_confirmed(dialog, TRUE);
                return handled();
            },
            handled);
    }

    static gboolean authenticate(WebKitWebView*, WebKitAuthenticationRequest* request, gpointer) {
        // No credentials and no dialog: the page gets the server's refusal.
        const auto refuse = [&]() -> gboolean {
            webkit_authentication_request_cancel(request);
            return TRUE;
        };
        return guarded("authentication", refuse, refuse);
    }

    static void downloadStarted(WebKitWebContext*, WebKitDownload* download, gpointer data) {
        auto* self = static_cast<WebKitShellView*>(data);
        const auto cancel = [&] { webkit_download_cancel(download); };
        guarded(
            "download start",
            [&] {
                if (!self->hooks_.downloadStarted) return cancel();
                self->hooks_.downloadStarted(download);
            },
            cancel);
    }

    static void scriptFinished(GObject* source, GAsyncResult* result, gpointer data) {
        // Deleted whatever happens: every completion runs at most once.
        std::unique_ptr<ScriptCompletion> done(static_cast<ScriptCompletion*>(data));
        guarded("script result", [&] {
            GError* error = nullptr;
            JSCValue* value = webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source),
                                                                                    result, &error);
            ScriptResult outcome;
            if (error) {
                outcome.error = error->message;
                g_error_free(error);
            } else if (auto json = toJSON(value)) {
                outcome.value = std::move(*json);
            }
            if (value) g_object_unref(value);
            (*done)(std::move(outcome));
        });
    }
};

WebKitShellView::WebKitShellView(MainExecutor& main, Gtk::Window& parent,
                                 const std::string& userAgentApplication, Hooks hooks)
    : main_(main), parent_(parent), hooks_(std::move(hooks)) {
    auto* manager = persistentDataManager();
    context_ = webkit_web_context_new_with_website_data_manager(manager);
    g_object_unref(manager);
    // Before the view exists, so before its web process starts.
    webkit_web_context_set_sandbox_enabled(context_, WebSandbox::enabled(nullptr));
    // One web app that is never browsed back and forth: no back/forward page cache, small caches.
    webkit_web_context_set_cache_model(context_, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
    contentManager_ = webkit_user_content_manager_new();
    auto* settings = webkit_settings_new();
    webkit_settings_set_enable_javascript(settings, TRUE);
    // The web app is forms and lists: the engine paints it on the CPU. Compositing on the GPU
    // would load a GL driver into the web process (about 80 MiB where it is Mesa's software one)
    // and delay the first page; the page's own APIs, WebGL included, stay as they are.
    webkit_settings_set_hardware_acceleration_policy(settings, WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
    // WebKit joins name and version with "/" itself.
    const auto slash = userAgentApplication.find('/');
    const std::string name = userAgentApplication.substr(0, slash);
    const std::string version = slash == std::string::npos ? "" : userAgentApplication.substr(slash + 1);
    webkit_settings_set_user_agent_with_application_details(settings, name.c_str(),
                                                            version.empty() ? nullptr : version.c_str());

    view_ =
        WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context_, "user-content-manager",
                                     contentManager_, "settings", settings, nullptr));
    g_object_unref(settings);
    g_object_ref_sink(view_);
    widget_ = Glib::wrap(GTK_WIDGET(view_));

    installBridge();
    g_signal_connect(view_, "script-dialog", G_CALLBACK(Callbacks::scriptDialog), nullptr);
    g_signal_connect(view_, "authenticate", G_CALLBACK(Callbacks::authenticate), nullptr);
    g_signal_connect(view_, "decide-policy", G_CALLBACK(Callbacks::decidePolicy), this);
    g_signal_connect(view_, "create", G_CALLBACK(Callbacks::create), this);
    g_signal_connect(view_, "run-file-chooser", G_CALLBACK(Callbacks::runFileChooser), this);
    g_signal_connect(view_, "load-changed", G_CALLBACK(Callbacks::loadChanged), this);
    g_signal_connect(view_, "notify::estimated-load-progress", G_CALLBACK(Callbacks::progressed), this);
    g_signal_connect(view_, "load-failed", G_CALLBACK(Callbacks::loadFailed), this);
    g_signal_connect(context_, "download-started", G_CALLBACK(Callbacks::downloadStarted), this);
}

WebKitShellView::~WebKitShellView() {
    *alive_ = false;
    stallTimer_.disconnect();
    // Scripts still running complete with a cancellation error rather than never.
    g_cancellable_cancel(cancellable_);
    g_object_unref(cancellable_);
    if (chooser_) chooser_->hide();
    answerFileRequest({});
    g_signal_handlers_disconnect_by_data(contentManager_, this);
    g_signal_handlers_disconnect_by_data(view_, this);
    g_signal_handlers_disconnect_by_data(context_, this);
    webkit_user_content_manager_unregister_script_message_handler_in_world(
        contentManager_, kMessageHandler.c_str(), WebBridge::kRelayWorld);
    g_object_unref(view_);
    g_object_unref(contentManager_);
    g_object_unref(context_);
}

gboolean WebKitShellView::decideAction(WebKitPolicyDecision* decision) {
    auto* action =
        webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    auto* request = webkit_navigation_action_get_request(action);
    const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
    ShellWebPolicy::NavigationAction navigation;
    if (uri && *uri) navigation.url = uri;
    // shouldPerformDownload stays false: WebKitGTK starts downloads of links with a download
    // attribute by itself ("download-started").
    const auto verdict = ShellWebPolicy::decideNavigation(navigation);
    if (verdict.openExternally) GioBrowserOpener::launch(*verdict.openExternally);
    carryOut(decision, verdict.decision);
    return TRUE;
}

gboolean WebKitShellView::decideResponse(WebKitPolicyDecision* decision) {
    auto* responseDecision = WEBKIT_RESPONSE_POLICY_DECISION(decision);
    auto* response = webkit_response_policy_decision_get_response(responseDecision);
    const char* mime = webkit_uri_response_get_mime_type(response);
    // WebKit has headers for HTTP(S) responses only.
    auto* headers = webkit_uri_response_get_http_headers(response);
    const char* disposition =
        headers ? soup_message_headers_get_one(headers, "Content-Disposition") : nullptr;
    DownloadResponse answered;
    if (mime && *mime) answered.mimeType = mime;
    answered.isHTTP = headers != nullptr;
    if (disposition && *disposition) answered.contentDisposition = disposition;
    const bool canShow = webkit_response_policy_decision_is_mime_type_supported(responseDecision);
    carryOut(decision, ShellWebPolicy::decideResponse(answered, canShow));
    return TRUE;
}

void WebKitShellView::carryOut(WebKitPolicyDecision* decision, ShellWebPolicy::Decision answer) {
    switch (answer) {
        case ShellWebPolicy::Decision::allow:
            return webkit_policy_decision_use(decision);
        case ShellWebPolicy::Decision::download:
            return webkit_policy_decision_download(decision);
        case ShellWebPolicy::Decision::cancel:
            return webkit_policy_decision_ignore(decision);
    }
    webkit_policy_decision_ignore(decision);
}

void WebKitShellView::installBridge() {
    auto* page =
        webkit_user_script_new(WebBridge::pageScript().c_str(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    auto* relay = webkit_user_script_new_for_world(
        WebBridge::relayScript().c_str(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
        WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, WebBridge::kRelayWorld, nullptr, nullptr);
    for (auto* script : {page, relay}) {
        webkit_user_content_manager_add_script(contentManager_, script);
        webkit_user_script_unref(script);
    }
    webkit_user_content_manager_register_script_message_handler_in_world(
        contentManager_, kMessageHandler.c_str(), WebBridge::kRelayWorld);
    g_signal_connect(contentManager_, ("script-message-received::" + kMessageHandler).c_str(),
                     G_CALLBACK(Callbacks::scriptMessage), this);
}

void WebKitShellView::chooseFiles(WebKitFileChooserRequest* request) {
    // A second request while a chooser is open replaces the first, which is answered as
    // cancelled: a page waits for every one of its file inputs.
    if (chooser_) chooser_->hide();
    answerFileRequest({});
    fileRequest_ = WEBKIT_FILE_CHOOSER_REQUEST(g_object_ref(request));
    chooser_ = Gtk::FileChooserNative::create(_("Choose Files"), parent_, Gtk::FILE_CHOOSER_ACTION_OPEN);
    // WebKitGTK's file inputs never ask for folders.
    const auto setup = ShellWebPolicy::fileChooserSetup(
        {static_cast<bool>(webkit_file_chooser_request_get_select_multiple(request)), false});
    chooser_->set_select_multiple(setup.allowsMultipleSelection);
    chooser_->set_modal(true);
    chooser_->signal_response().connect([this, chooser = chooser_.get()](int response) {
        if (chooser != chooser_.get()) return;  // a replaced chooser; its request was answered
        std::vector<std::string> paths;
        if (response == Gtk::RESPONSE_ACCEPT)
            for (const auto& file : chooser_->get_files()) paths.push_back(file->get_path());
        answerFileRequest(paths);
        // Not from inside its own response handler: the chooser goes once the handler has returned.
        later([this, chooser] {
            if (chooser_.get() == chooser) chooser_.reset();
        });
    });
    chooser_->show();
}

void WebKitShellView::answerFileRequest(const std::vector<std::string>& paths) {
    if (!fileRequest_) return;
    if (paths.empty()) {
        webkit_file_chooser_request_cancel(fileRequest_);
    } else {
        std::vector<const char*> list;
        for (const auto& p : paths) list.push_back(p.c_str());
        list.push_back(nullptr);
        webkit_file_chooser_request_select_files(fileRequest_, list.data());
    }
    g_object_unref(fileRequest_);
    fileRequest_ = nullptr;
}

void WebKitShellView::later(std::function<void()> fn) { postIfAlive(main_, alive_, std::move(fn)); }

void WebKitShellView::failLoad(NavigationFailure failure) {
    if (hooks_.loadFailed) later([this, failure = std::move(failure)] { hooks_.loadFailed(failure); });
}

void WebKitShellView::watchProgress() {
    stallTimer_.disconnect();
    stallTimer_ = Glib::signal_timeout().connect_seconds(
        [this] {
            stalled_ = true;
            webkit_web_view_stop_loading(view_);
            return false;
        },
        static_cast<unsigned>(loadTimeout_.count()));
}

void WebKitShellView::load(const std::string& url, std::chrono::seconds timeout) {
    loadTimeout_ = timeout;
    webkit_web_view_load_uri(view_, url.c_str());
}

void WebKitShellView::reload() { webkit_web_view_reload(view_); }

std::optional<std::string> WebKitShellView::currentURL() const {
    const char* uri = webkit_web_view_get_uri(view_);
    if (!uri || !*uri) return std::nullopt;
    return std::string(uri);
}

void WebKitShellView::callAsyncJavaScript(const std::string& script, const nlohmann::json& arguments,
                                          ScriptCompletion completion) {
    // nullptr world: the page's own world, where the web app defines window.__vhbrShell.
    webkit_web_view_call_async_javascript_function(view_, script.c_str(), -1, toVariantDictionary(arguments),
                                                   nullptr, nullptr, cancellable_, Callbacks::scriptFinished,
                                                   new ScriptCompletion(std::move(completion)));
}

void WebKitShellView::zoomIn() {
    webkit_web_view_set_zoom_level(view_, webkit_web_view_get_zoom_level(view_) * 1.1);
}

void WebKitShellView::zoomOut() {
    webkit_web_view_set_zoom_level(view_, webkit_web_view_get_zoom_level(view_) / 1.1);
}

void WebKitShellView::zoomReset() { webkit_web_view_set_zoom_level(view_, 1.0); }

}  // namespace vhbr::gtk
