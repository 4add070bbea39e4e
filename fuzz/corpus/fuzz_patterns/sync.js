const d = fs.readFileSync(p);
while (queue.length) {
  const data = fs.readFileSync(queue.pop(), 'utf8') + "padding that makes this line longer than sixty characters";
}
