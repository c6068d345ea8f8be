// The chat window fetches this page and reads the statements of its
// "tvl-msg" block itself. Shown in a frame of its own named "poll", the page
// asks for new lines again two seconds after each answer.
if (window.name == "poll") {
  setTimeout(function () { location.replace("body.ghp" + location.search); }, 2000);
}
